// Named cross-process lock of the platform access layer and its diagnostic
// printer.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <shared_mutex>

// Compatibility kinds: which mechanism a named lock uses.
inline constexpr int k_pal_lock_compat_mem = 0;      // fcntl on <tmp>/.pal_mem.lck
inline constexpr int k_pal_lock_compat_cpld = 1;     // fcntl on <tmp>/.pal_cpld.lck
inline constexpr int k_pal_lock_compat_sbus = 2;     // fcntl on <tmp>/.pal_sbus.lck
inline constexpr int k_pal_lock_compat_hbm_sbus = 3; // fcntl on <tmp>/.pal_sbus_hbm.lck
inline constexpr int k_pal_lock_compat_shm = 4;      // mutex in an existing <shm>/<name>
inline constexpr int k_pal_lock_native = 5;          // mutex in the record file

// The whole content of a lock's shared file (native byte order).
struct pal_lock_s {
    char name[32];
    pthread_mutex_t mutex;  // process-shared, recursive, robust
    int32_t compat;
    int32_t owner_pid;
    int32_t owner_tid;
    uint32_t reserved;
};
static_assert(offsetof(pal_lock_s, mutex) == 32);
static_assert(offsetof(pal_lock_s, compat) == 72);
static_assert(offsetof(pal_lock_s, owner_pid) == 76);
static_assert(offsetof(pal_lock_s, owner_tid) == 80);
static_assert(sizeof(pal_lock_s) == 88);

// Maps (creating and initialising on first use) the named lock's record into
// *lock. A non-null *lock means already initialised. 0 or -1.
int pal_lock_init(const char* name, pal_lock_s** lock);
// 0 when the caller holds the lock (also after recovering it from a crashed
// owner), -1 on failure.
int pal_lock(pal_lock_s* lock);
int pal_unlock(pal_lock_s* lock);
int pal_compat_lock(pal_lock_s* lock);
int pal_compat_unlock(pal_lock_s* lock);
int pal_check_compat(const char* name);

// Directories the locks live in: shared memory ("/dev/shm"), compatibility
// and guard files ("/tmp") and the optional shared directory ("/share").
// Null keeps a directory as it is. For tools and tests that must stay out of
// the system directories; call before the first lock is initialised.
void pal_lock_set_dirs(const char* shm_dir, const char* tmp_dir, const char* share_dir);

// Process-wide reader/writer lock offered to PAL users.
extern std::shared_mutex pal_rwlock;

// Prints "Pal-trace <message>": levels 1-2 always, 3-5 only while enabled,
// 0 and above 5 never. Goes to the module logger when a module id is
// registered, else to standard output.
void pal_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void pal_set_log_enable(int enable);
