// The telnet backend's console replies: the fuzzer plays the card's console
// over a real TCP connection and answers each devmem command. Whatever the
// console says, a read ends (no hang, no crash) with a status; a reply that
// holds "Read value" and a hex number yields exactly that number, whatever
// noise surrounds it.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_telnet.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using namespace sdk::lib;

constexpr const char *k_prompt = "ember:~$";
constexpr size_t k_max_noise = 200;
constexpr size_t k_max_raw = 900;  // with the prompt, within one reply buffer
constexpr uint32_t k_max_words = 4;
constexpr auto k_keepalive_off = std::chrono::hours(24);


// The console: answers every command line with the next queued reply and
// the prompt (only the prompt once the queue is empty).
class console {
public:
    console() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        FUZZ_CHECK(::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
                       ::listen(listen_fd_, 1) == 0 &&
                       ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0,
                   "cannot listen on the loopback");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~console() {
        ::shutdown(listen_fd_, SHUT_RDWR);
        ::shutdown(conn_fd_.load(), SHUT_RDWR);
        thread_.join();
        ::close(listen_fd_);
    }
    console(const console &) = delete;
    console &operator=(const console &) = delete;

    uint16_t port() const { return port_; }
    void queue(std::string reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back(std::move(reply));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.clear();
    }

private:
    void serve() {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        conn_fd_ = fd;
        char buf[512];
        for (;;) {
            // libFuzzer's time-out alarm interrupts any thread's recv.
            const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    continue;
                }
                std::string reply;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (!replies_.empty()) {
                        reply = std::move(replies_.front());
                        replies_.pop_front();
                    }
                }
                reply += k_prompt;
                for (size_t at = 0; at < reply.size();) {
                    const ssize_t sent = ::send(fd, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
                    if (sent < 0 && errno != EINTR) {
                        break;
                    }
                    at += sent > 0 ? static_cast<size_t>(sent) : 0;
                }
            }
        }
        ::close(fd);
    }

    int listen_fd_ = -1;
    std::atomic<int> conn_fd_{-1};
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::deque<std::string> replies_;
    std::thread thread_;
};

// Console noise that cannot be taken for the answer or the prompt.
std::string noise(FuzzedDataProvider &in) {
    std::string s = in.ConsumeRandomLengthString(k_max_noise);
    for (char &c : s) {
        if (c == 'R' || c == '0' || c == 'e' || c == '\0') {
            c = '.';
        }
    }
    return s;
}

// Text a reply may carry without making the console end it early: the
// prompt never shows inside (the connection would fall out of step).
std::string without_prompt(std::string s) {
    for (size_t at; (at = s.find(k_prompt)) != std::string::npos;) {
        s.erase(at, 1);
    }
    return s;
}

console *g_console = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    logger_init(null_logger_cb_);
    static console c;
    g_console = &c;
    pal_telnet_set_keepalive(k_keepalive_off, k_keepalive_off);
    const std::string port = std::to_string(c.port());
    ::setenv("PAL_TELNET_PORT", port.c_str(), 1);
    ::setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    FUZZ_CHECK(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr) == PAL_RET_OK, "telnet backend did not start");
    // The session ends before the console does, as it would on a card.
    std::atexit([] { pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    g_console->clear();
    const bool registers = in.ConsumeBool();
    const uint32_t count = in.ConsumeIntegralInRange<uint32_t>(1, k_max_words);
    std::vector<uint64_t> expected;
    bool all_crafted = true;
    for (uint32_t i = 0; i < count; ++i) {
        if (in.ConsumeBool()) {
            const uint64_t value = in.ConsumeIntegral<uint64_t>();
            char hex[24];
            std::snprintf(hex, sizeof(hex), in.ConsumeBool() ? "0x%llx" : "0X%llX",
                          static_cast<unsigned long long>(value));
            g_console->queue(noise(in) + "Read value" + noise(in) + hex + "\r\n" + noise(in));
            expected.push_back(value);
        } else {
            g_console->queue(without_prompt(in.ConsumeRandomLengthString(k_max_raw)));
            all_crafted = false;
        }
    }
    const uint64_t addr = in.ConsumeIntegral<uint32_t>();
    if (registers) {
        uint32_t words[k_max_words] = {};
        const pal_ret_t rc = pal_reg_read(addr, words, count);
        if (all_crafted) {
            FUZZ_CHECK(rc == PAL_RET_OK, "a well-formed register read failed");
            for (uint32_t i = 0; i < count; ++i) {
                FUZZ_CHECK(words[i] == static_cast<uint32_t>(expected[i]), "word %u read as 0x%x", i, words[i]);
            }
        }
    } else {
        uint8_t bytes[k_max_words] = {};
        const pal_ret_t rc = pal_mem_read(addr, bytes, count, 0);
        if (all_crafted) {
            FUZZ_CHECK(rc == PAL_RET_OK, "a well-formed memory read failed");
            for (uint32_t i = 0; i < count; ++i) {
                FUZZ_CHECK(bytes[i] == static_cast<uint8_t>(expected[i]), "byte %u read as 0x%x", i, bytes[i]);
            }
        }
    }
    return 0;
}
