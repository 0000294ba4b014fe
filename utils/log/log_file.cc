#include "utils/log/log_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace utils {

namespace {
constexpr mode_t k_log_file_mode = 0666;
}

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
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, k_log_file_mode);
    } while (fd < 0 && errno == EINTR);
    return log_fd(fd);
}

}  // namespace utils
