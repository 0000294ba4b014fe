#include "monitor/talonmon_socket_activation.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstring>

int talonmon_take_listen_socket(utils::unique_fd &socket, std::string &error) {
    // The descriptors are marked close-on-exec: the daemon's lspci and
    // setpci children never hold the endpoint's socket.
    const int count = ::sd_listen_fds(1);
    if (count < 0) {
        error = std::string("cannot take the sockets passed by the service manager: ") + std::strerror(-count);
        return 255;
    }
    if (count == 0) {
        return 0;
    }
    if (count > 1) {
        for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
            ::close(fd);
        }
        error = "the service manager passed " + std::to_string(count) + " sockets, the daemon takes one";
        return 255;
    }
    socket.reset(SD_LISTEN_FDS_START);
    if (::sd_is_socket(socket.get(), AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
        socket.reset();
        error = "the descriptor passed by the service manager is not a listening stream socket";
        return 255;
    }
    return 0;
}

std::string talonmon_socket_address_text(int fd) {
    sockaddr_storage bound{};
    socklen_t len = sizeof(bound);
    char text[INET6_ADDRSTRLEN] = {};
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0) {
        if (bound.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&bound);
            if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr) {
                return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
            }
        } else if (bound.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&bound);
            if (::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text)) != nullptr) {
                return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6->sin6_port));
            }
        }
    }
    return "an unknown address";
}
