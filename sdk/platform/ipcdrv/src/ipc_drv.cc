#include "sdk/platform/ipcdrv/src/ipc_drv.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "utils/sys/env_roots.hpp"
#include "utils/sys/unique_fd.hpp"

namespace {

int connect_seqpacket(const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = std::strlen(path);
    if (len >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path, len + 1);
    utils::unique_fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) {
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return -1;
    }
    return fd.release();
}

}  // namespace

std::string ipc_drv_default_dev_path()
{
    return utils::dev_root() + "/tawkipcdev";
}

int ipc_drv_open2(const char *path)
{
    std::string def;
    if (path == nullptr) {
        def = ipc_drv_default_dev_path();
        path = def.c_str();
    }
    struct stat st{};
    if (::stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) {
        return connect_seqpacket(path);
    }
    return utils::open_fd(path, O_RDWR).release();
}

int ipc_drv_open()
{
    return ipc_drv_open2(nullptr);
}

void ipc_drv_close(int fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
}

// Both requests carry an 8-byte argument.
int ipc_drv_bind(int fd, uint32_t value)
{
    uint64_t arg = value;
    return ::ioctl(fd, IPC_DRV_IOCTL_BIND, &arg);
}

int ipc_drv_unbind(int fd, uint32_t value)
{
    uint64_t arg = value;
    return ::ioctl(fd, IPC_DRV_IOCTL_UNBIND, &arg);
}

ssize_t ipc_drv_write(int fd, const void *buf, size_t len)
{
    ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
        n = ::write(fd, buf, len);
    }
    return n;
}

int ipc_drv_wait_response(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(IPC_DRV_RSP_TIMEOUT_MS);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) {
            return 0;  // readable, or an error or hang-up the read reports
        }
        if (n < 0 && errno != EINTR) {
            return -1;
        }
    }
}

bool ipc_drv_fd_is_socket(int fd)
{
    struct stat st{};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}
