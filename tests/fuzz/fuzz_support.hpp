// Shared by the fuzz targets (the scripted peer by tests/pal too): property
// checks, quiet calls, a thread that runs jobs, and a scripted peer at the
// far end of a socket.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A property every input must keep; a failure aborts and libFuzzer saves the input.
#define FUZZ_CHECK(cond, ...)                                                                        \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            std::fprintf(stderr, "fuzz property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, "  " __VA_ARGS__), std::fputc('\n', stderr);                        \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

namespace fuzz_support {

// Runs `f` with standard error sent to /dev/null, unless FUZZ_TALKATIVE=1.
template <typename F>
auto quietly(F f) {
    if (const char *keep = std::getenv("FUZZ_TALKATIVE"); keep != nullptr && *keep == '1') {
        return f();
    }
    static const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
    const auto result = f();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return result;
}

// A TCP socket listening on an ephemeral port of 127.0.0.1, or -1.
inline int listen_loopback(uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

// Runs jobs one at a time on a thread of its own, for code with per-thread state.
class job_thread {
public:
    ~job_thread() { call(nullptr); }
    // Runs `job` there and waits for it; an empty job ends the thread.
    void call(std::function<void()> job) {
        job_ = std::move(job);
        start_.release();
        done_.acquire();
    }

private:
    std::function<void()> job_;
    std::binary_semaphore start_{0}, done_{0};
    std::jthread thread_{[this] {
        for (bool more = true; more; done_.release()) {
            start_.acquire();
            more = static_cast<bool>(job_);
            if (more) {
                job_();
            }
        }
    }};
};

// The far end of a connection, on a thread of its own: it answers each
// message with what `reply` makes of it and the items queued for it (an
// empty answer is sent as such). Given a listening socket, it accepts first.
template <typename T>
class peer {
public:
    using reply_fn = std::function<std::string(std::string_view, peer &)>;
    peer(int fd, bool listening, reply_fn reply)
        : listen_fd_(listening ? fd : -1), fd_(listening ? -1 : fd),
          thread_([this, reply = std::move(reply)] { serve(reply); }) {}
    ~peer() {
        ::shutdown(listen_fd_, SHUT_RDWR);
        ::shutdown(fd_.load(), SHUT_RDWR);
        thread_.join();
        ::close(fd_.load());
        ::close(listen_fd_);
    }
    bool connected() const { return fd_ >= 0; }
    // Ends the connection, as a peer that hangs up: the far end reads its end.
    void hang_up() { ::shutdown(fd_.load(), SHUT_RDWR); }
    // Hangs up once the answer being made is sent.
    void hang_up_after_answer() { hang_up_after_answer_ = true; }
    void load(std::deque<T> items) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_ = std::move(items);
    }
    std::optional<T> next() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<T> item;
        if (!items_.empty()) {
            item = std::move(items_.front());
            items_.pop_front();
        }
        return item;
    }

private:
    void serve(const reply_fn &reply) {
        if (listen_fd_ >= 0) {
            fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        }
        std::vector<char> buf(1 << 17);
        for (;;) {
            // libFuzzer's time-out alarm interrupts any thread's calls.
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            const std::string m = reply(std::string_view(buf.data(), static_cast<size_t>(n)), *this);
            size_t at = 0;
            do {
                const ssize_t sent = ::send(fd_, m.data() + at, m.size() - at, MSG_NOSIGNAL);
                if (sent < 0 && errno != EINTR) {
                    break;
                }
                at += sent > 0 ? static_cast<size_t>(sent) : 0;
            } while (at < m.size());
            if (hang_up_after_answer_) {
                hang_up();
            }
        }
    }

    std::mutex mutex_;
    std::deque<T> items_;
    int listen_fd_;
    std::atomic<int> fd_;
    bool hang_up_after_answer_ = false;  // set and read on the peer's thread
    std::thread thread_;
};

}  // namespace fuzz_support
