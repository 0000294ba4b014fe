#include "utils/log/log_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace utils {

namespace {
// Readable by all, writable by the daemon only, whatever the umask.
constexpr mode_t k_log_file_mode = 0644;
}  // namespace

unique_fd open_log_file(const std::string &path, bool truncate) {
    // Non-blocking, so that a FIFO planted at the path cannot hold the
    // caller; only regular files are kept.
    // A file found is truncated only once it is known to be the daemon's own.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK;
    unique_fd file;
    bool created = false;
    while (!file) {
        // A file this call creates gets its mode exactly; one that exists
        // keeps the mode it has.
        file = open_fd(path, flags | O_CREAT | O_EXCL, k_log_file_mode);
        if (file) {
            if (::fchmod(file.get(), k_log_file_mode) != 0) {
                return {};
            }
            created = true;
            break;
        }
        if (errno != EEXIST) {
            return {};
        }
        file = open_fd(path, flags);
        if (!file && errno != ENOENT) {
            return {};  // ENOENT: removed in between, create it
        }
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return {};
    }
    // In a directory others may write, a file another user left at the path
    // would let that user truncate it or add forged lines: refused.
    if (!created && st.st_uid != ::geteuid()) {
        errno = EPERM;
        return {};
    }
    if (truncate && !created && ::ftruncate(file.get(), 0) != 0) {
        return {};
    }
    const int status = ::fcntl(file.get(), F_GETFL);
    if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        return {};
    }
    return file;
}

bool owned_by_another_user(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_uid != ::geteuid();
}

}  // namespace utils
