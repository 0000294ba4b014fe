#include "testkit/raw_http.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <regex>

namespace test_support {

namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace

tcp_client::tcp_client(const std::string &source, int port)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&from), sizeof(from)) == 0) {
        ::connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
}

tcp_client::~tcp_client() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

tcp_client::tcp_client(tcp_client &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

bool tcp_client::wait_connected(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    return ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

size_t tcp_client::send_some(std::string_view bytes, std::chrono::milliseconds timeout, bool &peer_gone) {
    const auto deadline = clock_type::now() + timeout;
    size_t sent = 0;
    peer_gone = false;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            peer_gone = true;  // reset, shut down or otherwise unusable
            return sent;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) != 1) {
            return sent;
        }
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            peer_gone = true;
            return sent;
        }
    }
    return sent;
}

bool tcp_client::send_all(std::string_view bytes, std::chrono::milliseconds timeout) {
    bool peer_gone = false;
    return send_some(bytes, timeout, peer_gone) == bytes.size();
}

std::optional<std::string> tcp_client::read_to_end(std::chrono::milliseconds timeout) {
    const auto deadline = clock_type::now() + timeout;
    std::string out;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return out;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) != 1) {
            return std::nullopt;
        }
    }
}

bool tcp_client::closed_by_server() {
    pollfd p{fd_, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::optional<http_reply> parse_http_reply(const std::string &raw) {
    const size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos || raw.size() < 12) {
        return std::nullopt;
    }
    http_reply reply;
    reply.status = std::atoi(raw.c_str() + 9);
    // Each header line after the status line: its name, then its value without leading spaces.
    const std::regex header_line("\r\n([^:\r\n]*): *([^\r\n]*)");
    for (std::sregex_iterator it(raw.begin(), raw.begin() + head_end, header_line), end; it != end; ++it) {
        std::string name = (*it)[1];
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        reply.headers[name] = (*it)[2];
    }
    reply.body = raw.substr(head_end + 4);
    return reply;
}

std::optional<http_reply> http_exchange(const std::string &source, int port, const std::string &request,
                                        std::chrono::milliseconds timeout) {
    const auto deadline = clock_type::now() + timeout;
    tcp_client client(source, port);
    if (!client.wait_connected(timeout) || !client.send_all(request, std::chrono::milliseconds(remaining_ms(deadline)))) {
        return std::nullopt;
    }
    auto raw = client.read_to_end(std::chrono::milliseconds(remaining_ms(deadline)));
    return raw ? parse_http_reply(*raw) : std::nullopt;
}

}  // namespace test_support
