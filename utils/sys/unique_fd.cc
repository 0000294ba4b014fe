#include "utils/sys/unique_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace utils {

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept
{
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int unique_fd::release() noexcept
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void unique_fd::reset(int fd) noexcept
{
    if (fd_ >= 0 && fd_ != fd) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

unique_fd open_fd(const std::string &path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return unique_fd(fd);
}

}  // namespace utils
