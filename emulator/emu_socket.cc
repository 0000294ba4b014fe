#include "emulator/emu_socket.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "emulator/emu_impl.hpp"

namespace talon_emu {

sockaddr_un socket_address(const fs::path &p)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string s = p.string();
    if (s.size() >= sizeof(a.sun_path)) {
        throw std::runtime_error("socket path too long (" + std::to_string(s.size()) + " bytes, at most " +
                                 std::to_string(sizeof(a.sun_path) - 1) + "): " + s);
    }
    std::memcpy(a.sun_path, s.c_str(), s.size() + 1);
    return a;
}

unique_fd listen_seqpacket(const fs::path &p)
{
    sockaddr_un a = socket_address(p);
    ::unlink(p.c_str());
    unique_fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0 ||
        ::listen(fd.get(), 64) < 0) {
        throw std::runtime_error("cannot listen on " + p.string() + ": " + std::strerror(errno));
    }
    return fd;
}

bool control(const std::string &root, const std::string &command, std::string *answer)
{
    fs::path sock = fs::path(root) / k_ctl_socket;
    sockaddr_un a{};
    try {
        a = socket_address(sock);
    } catch (const std::exception &e) {
        *answer = e.what();
        return false;
    }
    unique_fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0) {
        *answer = "no emulator is serving " + root + " (" + std::strerror(errno) + ")";
        return false;
    }
    if (::send(fd.get(), command.data(), command.size(), MSG_NOSIGNAL) < 0) {
        *answer = std::string("cannot send the command: ") + std::strerror(errno);
        return false;
    }
    std::vector<char> buf(65536);
    ssize_t n;
    do {
        n = ::recv(fd.get(), buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        *answer = "no answer from the emulator";
        return false;
    }
    *answer = std::string(buf.data() + 1, static_cast<size_t>(n) - 1);
    return buf[0] == '0';
}

}  // namespace talon_emu
