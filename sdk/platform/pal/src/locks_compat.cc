// Locking for names that older software guards with plain lock files, and
// for records found in shared memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "sdk/platform/pal/include/locks.hpp"
#include "sdk/platform/pal/src/locks_internal.hpp"
#include "utils/sys/unique_fd.hpp"

namespace {

constexpr int k_lock_attempts = 5;
constexpr auto k_lock_retry_delay = std::chrono::milliseconds(10);

struct pal_compat_file_s {
    int kind;
    const char* lock_name;
    const char* file_name;
};

// Checked in this order.
constexpr std::array<pal_compat_file_s, 4> k_compat_files{{
    {k_pal_lock_compat_cpld, "cpld_lock", ".pal_cpld.lck"},
    {k_pal_lock_compat_mem, "mem_lock", ".pal_mem.lck"},
    {k_pal_lock_compat_hbm_sbus, "hbm_sbus_lock", ".pal_sbus_hbm.lck"},
    {k_pal_lock_compat_sbus, "sbus_lock", ".pal_sbus.lck"},
}};

std::mutex g_dirs_mutex;
pal_lock_dirs_s g_dirs{"/dev/shm", "/tmp", "/share"};
std::optional<bool> g_share_exists;

// Compatibility file descriptors by kind 0-3, opened on first use and kept.
std::mutex g_compat_fd_mutex;
std::array<utils::unique_fd, k_compat_files.size()> g_compat_fd;

// Kind per record mapped by this process; records stay mapped for the life
// of the process, so their addresses are stable keys.
std::mutex g_kind_mutex;
std::unordered_map<const pal_lock_s*, int> g_kinds;

bool pal_path_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

const char* pal_compat_file_name(int kind) {
    for (const auto& f : k_compat_files) {
        if (f.kind == kind) {
            return f.file_name;
        }
    }
    return nullptr;
}

int pal_compat_fd(int kind) {
    const char* file = pal_compat_file_name(kind);
    if (file == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_compat_fd_mutex);
    utils::unique_fd& fd = g_compat_fd[static_cast<size_t>(kind)];
    if (!fd) {
        fd = utils::open_fd(pal_lock_dirs().tmp + "/" + file, O_RDWR | O_CREAT | O_NOFOLLOW,
                            k_pal_lock_file_mode);
    }
    return fd.get();
}

}  // namespace

pal_lock_dirs_s pal_lock_dirs() {
    std::lock_guard<std::mutex> lock(g_dirs_mutex);
    return g_dirs;
}

bool pal_lock_share_exists() {
    std::lock_guard<std::mutex> lock(g_dirs_mutex);
    if (!g_share_exists.has_value()) {
        g_share_exists = pal_path_exists(g_dirs.share + "/");
    }
    return *g_share_exists;
}

void pal_lock_set_dirs(const char* shm_dir, const char* tmp_dir, const char* share_dir) {
    std::lock_guard<std::mutex> lock(g_dirs_mutex);
    if (shm_dir != nullptr) {
        g_dirs.shm = shm_dir;
    }
    if (tmp_dir != nullptr) {
        g_dirs.tmp = tmp_dir;
    }
    if (share_dir != nullptr) {
        g_dirs.share = share_dir;
    }
    g_share_exists.reset();
}

void pal_lock_set_kind(const pal_lock_s* lock, int kind) {
    std::lock_guard<std::mutex> guard(g_kind_mutex);
    g_kinds[lock] = kind;
}

int pal_lock_kind(const pal_lock_s* lock) {
    {
        std::lock_guard<std::mutex> guard(g_kind_mutex);
        if (auto it = g_kinds.find(lock); it != g_kinds.end()) {
            return it->second;
        }
    }
    return lock->compat;
}

int pal_compat_kind_of_name(const char* name) {
    for (const auto& f : k_compat_files) {
        if (strcmp(name, f.lock_name) == 0) {
            return f.kind;
        }
    }
    return -1;
}

int pal_fcntl_lock_retry(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    for (int attempt = 0; attempt < k_lock_attempts; ++attempt) {
        if (fcntl(fd, F_SETLKW, &fl) == 0) {
            return 0;
        }
        std::this_thread::sleep_for(k_lock_retry_delay);
    }
    return -1;
}

int pal_check_compat(const char* name) {
    const pal_lock_dirs_s dirs = pal_lock_dirs();
    if (pal_path_exists(dirs.shm + "/" + name)) {
        return k_pal_lock_compat_shm;
    }
    for (const auto& f : k_compat_files) {
        if (strcmp(name, f.lock_name) == 0 && pal_path_exists(dirs.tmp + "/" + f.file_name)) {
            return f.kind;
        }
    }
    return k_pal_lock_native;
}

int pal_compat_lock(pal_lock_s* lock) {
    const int kind = pal_lock_kind(lock);
    if (kind == k_pal_lock_compat_shm) {
        int rc = pthread_mutex_lock(&lock->mutex);
        if (rc == 0) {
            lock->owner_pid = getpid();
            lock->owner_tid = gettid();
            return 0;
        }
        if (rc != EOWNERDEAD) {
            return -1;
        }
        const long pid = lock->owner_pid;
        const long tid = lock->owner_tid;
        fprintf(stderr, "Owner pid:%ld tid:%ld of the (%s)lock hascrashed, locking-pid:%ld\n", pid,
                tid, lock->name, static_cast<long>(getpid()));
        pal_log(2, "Owner pid:%ld tid:%ld the (%s)lock has crashed,locking-pid:%ld\n", pid, tid,
                lock->name, static_cast<long>(getpid()));
        if (pthread_mutex_consistent(&lock->mutex) != 0) {
            fprintf(stderr, "Error making (%s)lock consistent\n", lock->name);
            pal_log(1, "Error making (%s)lock consistent\n", lock->name);
        }
        return 0;
    }
    int fd = pal_compat_fd(kind);
    if (fd < 0) {
        return -1;
    }
    return pal_fcntl_lock_retry(fd, F_WRLCK);
}

int pal_compat_unlock(pal_lock_s* lock) {
    const int kind = pal_lock_kind(lock);
    if (kind == k_pal_lock_compat_shm) {
        return pthread_mutex_unlock(&lock->mutex);
    }
    int fd = pal_compat_fd(kind);
    if (fd < 0) {
        return -1;
    }
    return pal_fcntl_lock_retry(fd, F_UNLCK);
}
