#include "utils/log/log_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace utils {

namespace {
// Readable by all, writable by the daemon only, whatever the umask.
constexpr mode_t k_log_file_mode = 0644;

int open_retrying(const std::string &path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, k_log_file_mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

log_fd &log_fd::operator=(log_fd &&other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int log_fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void log_fd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

log_fd open_log_file(const std::string &path, bool truncate) {
    // Non-blocking, so that a FIFO planted at the path cannot hold the
    // caller; only regular files are kept.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (truncate ? O_TRUNC : 0);
    int fd = -1;
    while (fd < 0) {
        // A file this call creates gets its mode exactly; one that exists
        // keeps the mode it has.
        fd = open_retrying(path, flags | O_CREAT | O_EXCL);
        if (fd >= 0) {
            if (::fchmod(fd, k_log_file_mode) != 0) {
                const int err = errno;
                ::close(fd);
                errno = err;
                return log_fd();
            }
            break;
        }
        if (errno != EEXIST) {
            return log_fd();
        }
        fd = open_retrying(path, flags);
        if (fd < 0 && errno != ENOENT) {
            return log_fd();  // ENOENT: removed in between, create it
        }
    }
    log_fd file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return log_fd();
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return log_fd();
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        return log_fd();
    }
    return file;
}

}  // namespace utils
