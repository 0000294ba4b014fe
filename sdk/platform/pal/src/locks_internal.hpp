// Shared between the native and compatibility halves of the PAL lock.
#pragma once

#include <sys/types.h>

#include <string>

#include "sdk/platform/pal/include/locks.hpp"

inline constexpr mode_t k_pal_lock_file_mode = 0666;

struct pal_lock_dirs_s {
    std::string shm;
    std::string tmp;
    std::string share;
};

pal_lock_dirs_s pal_lock_dirs();

// Whether the shared directory exists; tested once per directory setting.
bool pal_lock_share_exists();

// Whole-file fcntl lock (F_WRLCK) or unlock (F_UNLCK), waiting; retried after
// 10 ms, five attempts in all. 0 or -1.
int pal_fcntl_lock_retry(int fd, short type);

// The mechanism this process uses for a record. Chosen once in
// pal_lock_init and kept here rather than read back from the shared record,
// which other processes may rewrite. A record this process never
// initialised falls back to the kind stored in it.
void pal_lock_set_kind(const pal_lock_s* lock, int kind);
int pal_lock_kind(const pal_lock_s* lock);

// The compatibility-file kind reserved for this lock name, or -1.
int pal_compat_kind_of_name(const char* name);

// Whether kind locks a compatibility file rather than a mutex.
constexpr bool pal_lock_is_file_kind(int kind) {
    return kind >= k_pal_lock_compat_mem && kind <= k_pal_lock_compat_hbm_sbus;
}
