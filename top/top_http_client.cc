#include "top/top_http_client.hpp"

#include "utils/sys/unique_fd.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <algorithm>
#include <cctype>

namespace {

using clock_type = std::chrono::steady_clock;
using utils::unique_fd;

constexpr size_t k_read_chunk = 64 * 1024;
// How long a wait goes on before it looks whether it was cancelled.
constexpr std::chrono::milliseconds k_cancel_slice{20};

struct addrinfo_deleter {
    void operator()(addrinfo *ai) const { ::freeaddrinfo(ai); }
};

int remaining_ms(clock_type::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` is ready for `events`; false on time-out, error or
// cancellation, which is looked at every k_cancel_slice.
bool wait_ready(int fd, short events, clock_type::time_point deadline, const std::atomic<bool> *cancel) {
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            return false;
        }
        const int left = remaining_ms(deadline);
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, cancel ? std::min(left, static_cast<int>(k_cancel_slice.count())) : left);
        if (n > 0) {
            return true;
        }
        if ((n == 0 && left == 0) || (n < 0 && errno != EINTR)) {
            return false;
        }
    }
}

std::string connect_to(const top_url_s &url, clock_type::time_point deadline, const std::atomic<bool> *cancel,
                       unique_fd &out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *raw = nullptr;
    const int rc = ::getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &raw);
    if (rc != 0) {
        return std::string("cannot resolve ") + url.host + ": " + ::gai_strerror(rc);
    }
    std::unique_ptr<addrinfo, addrinfo_deleter> list(raw);
    std::string error = "no address";
    for (addrinfo *ai = list.get(); ai; ai = ai->ai_next) {
        unique_fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
        if (fd.get() < 0) {
            error = std::strerror(errno);
            continue;
        }
        if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                error = std::strerror(errno);
                continue;
            }
            if (!wait_ready(fd.get(), POLLOUT, deadline, cancel)) {
                error = "connection timed out";
                continue;
            }
            int so_error = 0;
            socklen_t len = sizeof(so_error);
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
            if (so_error != 0) {
                error = std::strerror(so_error);
                continue;
            }
        }
        out = std::move(fd);
        return {};
    }
    return error;
}

// Decodes a chunked body in place; false when it is malformed.
bool dechunk(std::string &body) {
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t eol = body.find("\r\n", pos);
        if (eol == std::string::npos) {
            return false;
        }
        size_t size = 0;
        const char *begin = body.data() + pos;
        const char *end = body.data() + eol;
        const char *p = begin;
        for (; p < end && std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
            size = size * 16 + static_cast<size_t>(std::isdigit(static_cast<unsigned char>(*p))
                                                       ? *p - '0'
                                                       : (std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10));
            if (size > body.size()) {
                return false;
            }
        }
        if (p == begin) {
            return false;
        }
        pos = eol + 2;
        if (size == 0) {
            body = std::move(out);
            return true;
        }
        if (pos + size > body.size()) {
            return false;
        }
        out.append(body, pos, size);
        pos += size + 2;
    }
}

std::string lower(std::string s) {
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

}  // namespace

std::string top_parse_url(const std::string &text, top_url_s &url) {
    std::string rest = text;
    const std::string scheme = "http://";
    if (rest.compare(0, scheme.size(), scheme) == 0) {
        rest.erase(0, scheme.size());
    } else if (rest.find("://") != std::string::npos) {
        return "only http:// URLs are supported: " + text;
    }
    const size_t slash = rest.find('/');
    url.path = slash == std::string::npos ? "/metrics" : rest.substr(slash);
    std::string authority = rest.substr(0, slash);
    url.port = "80";
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            return "unbalanced [ in " + text;
        }
        url.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return "bad address " + authority;
            }
            url.port = after.substr(1);
        }
    } else {
        const size_t colon = authority.rfind(':');
        url.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            url.port = authority.substr(colon + 1);
        }
    }
    if (url.host.empty()) {
        return "no host in " + text;
    }
    if (url.port.empty() || url.port.size() > 5 || url.port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(url.port) == 0 || std::stoul(url.port) > 65535) {
        return "bad port in " + text;
    }
    if (url.path.find_first_of(" \r\n") != std::string::npos) {
        return "bad path in " + text;
    }
    return {};
}

std::string top_url_of_listen(const std::string &listen) {
    std::string host_port = listen;
    if (host_port.rfind("0.0.0.0:", 0) == 0) {
        host_port = "127.0.0.1" + host_port.substr(7);
    } else if (host_port.rfind("[::]:", 0) == 0) {
        host_port = "[::1]" + host_port.substr(4);
    }
    return "http://" + host_port + "/metrics";
}

top_http_result_s top_http_get(const top_url_s &url, std::chrono::milliseconds timeout, size_t max_bytes,
                               const std::atomic<bool> *cancel) {
    top_http_result_s result;
    const auto deadline = clock_type::now() + timeout;
    unique_fd fd;
    if (std::string err = connect_to(url, deadline, cancel, fd); !err.empty()) {
        result.error = err;
        return result;
    }
    const int sock = fd.get();
    const bool v6 = url.host.find(':') != std::string::npos;
    const std::string request = "GET " + url.path + " HTTP/1.0\r\nHost: " + (v6 ? "[" + url.host + "]" : url.host) +
                                ":" + url.port + "\r\nAccept: text/plain\r\nConnection: close\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(sock, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_ready(sock, POLLOUT, deadline, cancel)) {
                result.error = "timed out sending the request";
                return result;
            }
        } else {
            result.error = std::string("send: ") + std::strerror(errno);
            return result;
        }
    }
    std::string data;
    char buf[k_read_chunk];
    for (;;) {
        const ssize_t n = ::recv(sock, buf, sizeof(buf), 0);
        if (n > 0) {
            if (data.size() + static_cast<size_t>(n) > max_bytes) {
                result.error = "answer larger than " + std::to_string(max_bytes) + " bytes";
                return result;
            }
            data.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!wait_ready(sock, POLLIN, deadline, cancel)) {
                result.error = "timed out reading the answer";
                return result;
            }
        } else {
            result.error = std::string("recv: ") + std::strerror(errno);
            return result;
        }
    }
    const size_t header_end = data.find("\r\n\r\n");
    if (data.compare(0, 5, "HTTP/") != 0 || header_end == std::string::npos) {
        result.error = "not an HTTP answer";
        return result;
    }
    const size_t sp = data.find(' ');
    if (sp == std::string::npos || sp + 4 > data.size() ||
        std::string_view(data).substr(sp + 1, 3).find_first_not_of("0123456789") != std::string_view::npos) {
        result.error = "bad HTTP status line";
        return result;
    }
    result.status = std::stoi(data.substr(sp + 1, 3));
    const std::string headers = lower(data.substr(0, header_end));
    result.body = data.substr(header_end + 4);
    if (headers.find("\r\ntransfer-encoding: chunked") != std::string::npos && !dechunk(result.body)) {
        result.error = "malformed chunked answer";
        return result;
    }
    if (result.status != 200) {
        result.error = "HTTP status " + std::to_string(result.status);
        return result;
    }
    result.ok = true;
    return result;
}
