#include "monitor/talonmon_refused_start.hpp"

#include "monitor/talonmon_notify.hpp"
#include "monitor/talonmon_signals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace {

// Longest message sent to a scraper; the journal has the whole text.
constexpr size_t k_max_message = 4096;
// How long an accepted connection may take to send its request, in all.
constexpr auto k_request_wait = std::chrono::milliseconds(200);
constexpr size_t k_max_request = 8192;
// How often the hold looks for a stop and pings the watchdog.
constexpr int k_hold_slice_ms = 100;

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN) != 0;
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string http_reply(const std::string &message) {
    std::string body = "talonmon refused to start:\n" + message.substr(0, k_max_message);
    if (body.back() != '\n') {
        body += '\n';
    }
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "Connection: close\r\n\r\n" +
           body;
}

// Reads the request (so that closing does not reset the connection before
// the reply is read), sends the reply and closes.
void answer_one(int listen_fd, const std::string &reply) {
    const utils::unique_fd conn(::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!conn) {
        return;
    }
    std::string request;
    char buf[1024];
    const auto deadline = std::chrono::steady_clock::now() + k_request_wait;
    const auto left_ms = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<int64_t>(left.count(), 0));
    };
    while (request.size() < k_max_request && request.find("\r\n\r\n") == std::string::npos && left_ms() > 0 &&
           readable(conn.get(), left_ms())) {
        const ssize_t n = ::recv(conn.get(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        request.append(buf, static_cast<size_t>(n));
    }
    ::send(conn.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(conn.get(), SHUT_WR);
}

}  // namespace

talonmon_stderr_capture::talonmon_stderr_capture()
    : saved_stderr_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)),
      capture_(::memfd_create("talonmon-start-up", MFD_CLOEXEC)) {
    std::fflush(stderr);
    if (!saved_stderr_ || !capture_ || ::dup2(capture_.get(), STDERR_FILENO) < 0) {
        capture_.reset();
    }
}

talonmon_stderr_capture::~talonmon_stderr_capture() {
    finish();
}

std::string talonmon_stderr_capture::finish() {
    if (finished_ || !capture_) {
        finished_ = true;
        return {};
    }
    finished_ = true;
    std::fflush(stderr);
    ::dup2(saved_stderr_.get(), STDERR_FILENO);
    std::string text;
    char buf[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = ::pread(capture_.get(), buf, sizeof(buf), offset)) > 0) {
        text.append(buf, static_cast<size_t>(n));
        offset += n;
    }
    write_all(STDERR_FILENO, text);
    return text;
}

void talonmon_answer_refused_start(int listen_fd, const std::string &message, std::chrono::milliseconds hold) {
    if (!readable(listen_fd, 0)) {
        return;
    }
    const std::string reply = http_reply(message.empty() ? "see the journal of talonmon.service" : message);
    const auto end = std::chrono::steady_clock::now() + hold;
    while (!talonmon_stop_requested() && std::chrono::steady_clock::now() < end) {
        talonmon_notify_watchdog();
        if (readable(listen_fd, k_hold_slice_ms)) {
            answer_one(listen_fd, reply);
        }
    }
}
