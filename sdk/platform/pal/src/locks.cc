#include "sdk/platform/pal/include/locks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "logger/logger.hpp"
#include "sdk/platform/pal/src/locks_internal.hpp"
#include "utils/sys/mapped_file.hpp"
#include "utils/sys/unique_fd.hpp"

std::shared_mutex pal_rwlock;

namespace {

constexpr size_t k_pal_log_buf_size = 1024;
constexpr int k_pal_log_always_max = 2;
constexpr int k_pal_log_max = 5;
constexpr mode_t k_record_mode = 0660;
constexpr size_t k_name_max = sizeof(pal_lock_s::name) - 1;

std::atomic<int> g_pal_log_enable{0};
std::mutex g_lock_init_mutex;

// Holds the cross-process guard that serialises record creation.
class pal_init_guard {
public:
    explicit pal_init_guard(const std::string& path)
        : fd_(utils::open_fd(path, O_RDWR | O_CREAT | O_NOFOLLOW, k_pal_lock_file_mode)) {
        if (fd_ && pal_fcntl_lock_retry(fd_.get(), F_WRLCK) != 0) {
            fd_.reset();
        }
    }
    pal_init_guard(const pal_init_guard&) = delete;
    pal_init_guard& operator=(const pal_init_guard&) = delete;
    ~pal_init_guard() {
        if (fd_) {
            pal_fcntl_lock_retry(fd_.get(), F_UNLCK);
        }
    }
    bool held() const { return fd_.valid(); }

private:
    utils::unique_fd fd_;
};

// Initialises a freshly created record's mutex; false after logging why not.
bool pal_lock_init_mutex(pal_lock_s* rec, const char* name) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        pal_log(1, "Lock:%s pthread_mutexattr_init %s", name, strerror(rc));
        return false;
    }
    bool ok = false;
    if ((rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED)) != 0) {
        pal_log(1, "Lock:%s pthread_mutexattr_setpshared %s", name, strerror(rc));
    } else if ((rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE)) != 0 ||
               (rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST)) != 0) {
        pal_log(1, "Lock:%s pthread_mutex_init %s", name, strerror(rc));
    } else if ((rc = pthread_mutex_init(&rec->mutex, &attr)) != 0) {
        pal_log(1, "Lock:%s pthread_mutex_init  %s", name, strerror(rc));
    } else {
        rec->owner_pid = 0;
        ok = true;
    }
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// The kind a process uses for a record it found already created. The record
// holds its creator's kind; every process must use the same mechanism as the
// others, so a file-lock kind stored for this name, or a mutex kind where
// this process would pick a file lock, is adopted. Otherwise the process's
// own choice stands (kinds 4 and 5 lock the same mutex).
int pal_lock_existing_kind(int computed, int recorded, const char* name) {
    if (pal_lock_is_file_kind(recorded) && recorded == pal_compat_kind_of_name(name)) {
        return recorded;
    }
    if (pal_lock_is_file_kind(computed) &&
        (recorded == k_pal_lock_compat_shm || recorded == k_pal_lock_native)) {
        return recorded;
    }
    return computed;
}

}  // namespace

int pal_lock_init(const char* name, pal_lock_s** lock) {
    if (name == nullptr || lock == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> init_lock(g_lock_init_mutex);
    if (*lock != nullptr) {
        return 0;
    }
    const bool have_share = pal_lock_share_exists();
    const int kind = pal_check_compat(name);
    const pal_lock_dirs_s dirs = pal_lock_dirs();
    std::string path = (!have_share || kind == k_pal_lock_compat_shm)
                           ? dirs.shm + "/" + name
                           : dirs.share + "/" + name + ".pal_lock";

    pal_init_guard guard((have_share ? dirs.share : dirs.tmp) + "/pal_lockfile");
    if (!guard.held()) {
        return -1;
    }

    bool created = true;
    utils::unique_fd fd = utils::open_fd(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, k_record_mode);
    if (fd) {
        pal_log(3, "Lock:%s is created", path.c_str());
    } else if (errno == EEXIST) {
        created = false;
        fd = utils::open_fd(path, O_RDWR | O_NOFOLLOW);
        if (!fd) {
            pal_log(1, "Lock:%s open %s", path.c_str(), strerror(errno));
            return -1;
        }
        pal_log(3, "Lock:%s exist", path.c_str());
    } else {
        pal_log(1, "Lock:%s open %s", path.c_str(), strerror(errno));
        return -1;
    }

    if (ftruncate(fd.get(), sizeof(pal_lock_s)) != 0) {
        pal_log(1, "Lock:%s ftruncate %s", name, strerror(errno));
        return -1;
    }
    utils::mapped_file record;
    if (!record.map(fd.get(), sizeof(pal_lock_s))) {
        pal_log(1, "Lock:%s mmap %s", name, strerror(errno));
        return -1;
    }
    auto* rec = reinterpret_cast<pal_lock_s*>(record.data());
    if (created && !pal_lock_init_mutex(rec, name)) {
        return -1;
    }
    snprintf(rec->name, sizeof(rec->name), "%.*s", static_cast<int>(k_name_max), name);
    int used_kind = kind;
    if (created) {
        rec->compat = kind;
    } else {
        used_kind = pal_lock_existing_kind(kind, rec->compat, name);
    }
    pal_lock_set_kind(rec, used_kind);
    // The record stays mapped for the life of the process.
    *lock = static_cast<pal_lock_s*>(record.release());
    return 0;
}

int pal_lock(pal_lock_s* lock) {
    if (lock == nullptr) {
        return -1;
    }
    if (pal_lock_kind(lock) != k_pal_lock_native) {
        return pal_compat_lock(lock);
    }
    int rc = pthread_mutex_lock(&lock->mutex);
    if (rc == 0) {
        lock->owner_pid = getpid();
        lock->owner_tid = gettid();
        return 0;
    }
    if (rc == EOWNERDEAD) {
        pal_log(2, "Owner pid:%ld tid:%ld of the (%s)lock has crashed, locking-pid:%ld\n",
                static_cast<long>(lock->owner_pid), static_cast<long>(lock->owner_tid), lock->name,
                static_cast<long>(getpid()));
        if (pthread_mutex_consistent(&lock->mutex) != 0) {
            pal_log(1, "Error making (%s)lock consistent\n", lock->name);
        }
        return 0;
    }
    return -1;
}

int pal_unlock(pal_lock_s* lock) {
    if (lock == nullptr) {
        return -1;
    }
    if (pal_lock_kind(lock) != k_pal_lock_native) {
        return pal_compat_unlock(lock);
    }
    return pthread_mutex_unlock(&lock->mutex);
}

void pal_set_log_enable(int enable) { g_pal_log_enable.store(enable); }

void pal_log(int level, const char* format, ...) {
    if (level <= 0 || level > k_pal_log_max) {
        return;
    }
    if (level > k_pal_log_always_max && g_pal_log_enable.load() == 0) {
        return;
    }
    char buf[k_pal_log_buf_size];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    int32_t mod_id = logger_get_module_id();
    if (mod_id >= 0) {
        logger_trace(static_cast<uint32_t>(mod_id), static_cast<trace_level_e>(level), "Pal-trace %s", buf);
    } else {
        printf("Pal-trace %s\n", buf);
    }
}
