#include "sdk/lib/pal/pal_telnet.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_backends.hpp"
#include "sdk/lib/pal/pal_remote.hpp"

namespace sdk::lib {

namespace {

constexpr size_t k_cmd_max = 128;
constexpr size_t k_reply_max = 1024;
constexpr int k_cmd_wait_ms = 5000;
constexpr int k_slice_ms = 50;
constexpr int k_max_port = 65535;
constexpr uint64_t k_word_size = 4;
constexpr const char* k_prompt = "ember:~$";

std::atomic<int64_t> g_keepalive_period_ms{10000};
std::atomic<int64_t> g_keepalive_idle_ms{9000};

std::mutex g_session_mutex;
std::unique_ptr<pal_telnet_session_s> g_session;

void telnet_close(std::unique_ptr<pal_telnet_session_s>& s) {
    if (!s) {
        return;
    }
    s->running = false;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->stop_cv.notify_all();
    }
    if (s->keepalive.joinable()) {
        s->keepalive.join();
    }
    s.reset();
}

void telnet_keepalive(pal_telnet_session_s* s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (s->running && s->connected) {
        s->stop_cv.wait_for(lock, std::chrono::milliseconds(g_keepalive_period_ms.load()),
                            [s] { return !s->running; });
        if (!s->running || !s->connected) {
            break;
        }
        int64_t idle_ms = (time(nullptr) - s->last_activity) * 1000;
        if (idle_ms <= g_keepalive_idle_ms.load()) {
            continue;
        }
        lock.unlock();
        char reply[k_reply_max];
        int rc = pal_telnet_exchange(s, "", reply, sizeof(reply), 1000);
        lock.lock();
        if (rc < 0) {
            LOGGER_ERR("Keepalive check failed, connection may be lost");
            s->connected = false;
            break;
        }
    }
}

// Parses the value of a devmem read reply.
bool telnet_parse_read(const char* reply, uint64_t* value) {
    const char* p = strstr(reply, "Read value");
    const char* hex = nullptr;
    if (p != nullptr) {
        const char* lo = strstr(p, "0x");
        const char* hi = strstr(p, "0X");
        hex = (lo == nullptr || (hi != nullptr && hi < lo)) ? hi : lo;
    }
    char* end = nullptr;
    if (hex != nullptr) {
        *value = strtoull(hex + 2, &end, 16);
    }
    if (hex == nullptr || end == hex + 2) {
        LOGGER_ERR("Failed to parse devmem output, \n%s\n", reply);
        return false;
    }
    return true;
}

pal_telnet_session_s* telnet_session() {
    std::lock_guard<std::mutex> lock(g_session_mutex);
    return g_session.get();
}

// Runs one devmem command; for reads parses the value. false on failure.
bool telnet_devmem(pal_telnet_session_s* s, const char* cmd, uint64_t* value) {
    char reply[k_reply_max] = {};
    if (pal_telnet_exchange(s, cmd, reply, sizeof(reply), k_cmd_wait_ms) < 0) {
        return false;
    }
    return value == nullptr || telnet_parse_read(reply, value);
}

// Formats a command; false (after logging) when it does not fit.
template <typename... Args>
bool telnet_format(char (&cmd)[k_cmd_max], const char* fmt, Args... args) {
    int n = snprintf(cmd, sizeof(cmd), fmt, args...);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(cmd)) {
        LOGGER_ERR("Command buffer too small");
        return false;
    }
    return true;
}

pal_ret_t pal_telnet_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words) {
    pal_telnet_session_s* s = telnet_session();
    for (uint32_t i = 0; s != nullptr && i < num_words; ++i) {
        uint64_t a = addr + k_word_size * i;
        char cmd[k_cmd_max];
        uint64_t v = 0;
        if (!telnet_format(cmd, "devmem 0x%lx 32", static_cast<unsigned long>(a)) ||
            !telnet_devmem(s, cmd, &v)) {
            LOGGER_ERR("Register read failed on telnet, addr 0x%lx", static_cast<unsigned long>(a));
            return PAL_RET_NOK;
        }
        data[i] = static_cast<uint32_t>(v);
    }
    return PAL_RET_OK;
}

pal_ret_t pal_telnet_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words) {
    pal_telnet_session_s* s = telnet_session();
    for (uint32_t i = 0; s != nullptr && i < num_words; ++i) {
        uint64_t a = addr + k_word_size * i;
        char cmd[k_cmd_max];
        if (!telnet_format(cmd, "devmem 0x%lx 32 0x%x", static_cast<unsigned long>(a), data[i]) ||
            !telnet_devmem(s, cmd, nullptr)) {
            LOGGER_ERR("Register write failed on telnet, addr 0x%lx", static_cast<unsigned long>(a));
            return PAL_RET_NOK;
        }
    }
    return PAL_RET_OK;
}

// One devmem command per byte of [addr, addr + size): reads into read_into
// when it is given, else writes write_from. Stops at the first failure.
pal_ret_t telnet_mem_bytes(uint64_t addr, uint8_t* read_into, const uint8_t* write_from, uint64_t size) {
    const bool reading = read_into != nullptr;
    if ((reading ? read_into : write_from) == nullptr || size == 0) {
        LOGGER_ERR("Invalid parameters");
        return PAL_RET_NOK;
    }
    pal_telnet_session_s* s = telnet_session();
    for (uint64_t i = 0; s != nullptr && i < size; ++i) {
        const auto a = static_cast<unsigned long>(addr + i);
        char cmd[k_cmd_max];
        uint64_t v = 0;
        const bool formatted = reading ? telnet_format(cmd, "devmem 0x%lx 8", a)
                                       : telnet_format(cmd, "devmem 0x%lx 8 0x%x", a,
                                                       static_cast<unsigned>(write_from[i]));
        if (!formatted || !telnet_devmem(s, cmd, reading ? &v : nullptr)) {
            LOGGER_ERR("Memory %s failed at address 0x%lx", reading ? "read" : "write", a);
            return PAL_RET_NOK;
        }
        if (reading) {
            read_into[i] = static_cast<uint8_t>(v);
        }
    }
    return PAL_RET_OK;
}

pal_ret_t pal_telnet_mem_read(uint64_t addr, uint8_t* data, uint64_t size, uint32_t) {
    return telnet_mem_bytes(addr, data, nullptr, size);
}

pal_ret_t pal_telnet_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t) {
    return telnet_mem_bytes(addr, nullptr, data, size);
}

pal_ret_t pal_telnet_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t,
                               uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_telnet_qsfp_read");
    return pal_remote_qsfp_image_read(buffer, size, offset);
}

pal_ret_t pal_telnet_qsfp_dom_read(uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_telnet_qsfp_dom_read");
    return PAL_RET_OK;
}

}  // namespace

void pal_telnet_set_keepalive(std::chrono::milliseconds period, std::chrono::milliseconds idle) {
    g_keepalive_period_ms = period.count();
    g_keepalive_idle_ms = idle.count();
}

pal_telnet_session_s* pal_telnet_connect(const char* host, int port) {
    if (host == nullptr || port < 1 || port > k_max_port) {
        LOGGER_ERR("Invalid IP address or port");
        return nullptr;
    }
    auto s = std::make_unique<pal_telnet_session_s>();
    s->sock.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s->sock) {
        LOGGER_ERR("Failed to create socket");
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
            LOGGER_ERR("Failed to resolve hostname");
            return nullptr;
        }
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    if (connect(s->sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        LOGGER_ERR("Failed to connect: %s", strerror(errno));
        return nullptr;
    }
    snprintf(s->host, sizeof(s->host), "%s", host);
    s->port = static_cast<uint16_t>(port);
    s->connected = true;
    s->last_activity = time(nullptr);
    s->prompt = k_prompt;
    s->running = true;
    pal_telnet_session_s* raw = s.get();
    try {
        s->keepalive = std::thread(telnet_keepalive, raw);
    } catch (const std::system_error& e) {
        LOGGER_ERR("Failed to create keepalive thread: %s", e.what());
        return nullptr;
    }
    return s.release();
}

bool pal_telnet_is_connected(pal_telnet_session_s* session) {
    if (session == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(session->mutex);
    return session->connected;
}

int pal_telnet_exchange(pal_telnet_session_s* s, const char* cmd, char* reply, size_t reply_size,
                        int wait_ms) {
    if (s == nullptr || reply == nullptr || reply_size == 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    reply[0] = '\0';
    if (!s->connected) {
        LOGGER_ERR("Session not connected");
        return -1;
    }
    char line[k_cmd_max + 1];
    int n = snprintf(line, sizeof(line), "%s\n", cmd);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(line)) {
        LOGGER_ERR("Command buffer too small");
        return -1;
    }
    if (send(s->sock.get(), line, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
        LOGGER_ERR("Send failed: %s", strerror(errno));
        s->connected = false;
        return -1;
    }
    if (wait_ms < 1) {
        return 0;
    }
    size_t len = 0;
    for (int waited = 0; waited < wait_ms && len + 1 < reply_size; waited += k_slice_ms) {
        // poll, unlike select, takes a descriptor of any number.
        pollfd pfd{s->sock.get(), POLLIN, 0};
        int rc = poll(&pfd, 1, k_slice_ms);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            LOGGER_ERR("Select failed: %s", strerror(errno));
            return -1;
        }
        if (rc == 0) {
            continue;
        }
        ssize_t got = recv(s->sock.get(), reply + len, reply_size - 1 - len, MSG_DONTWAIT);
        if (got == 0) {
            LOGGER_ERR("Connection closed by remote host");
            s->connected = false;
            return -1;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            LOGGER_ERR("Receive failed: %s", strerror(errno));
            s->connected = false;
            return -1;
        }
        len += static_cast<size_t>(got);
        reply[len] = '\0';
        // A NUL byte from the console must not hide the prompt behind it.
        if (len >= s->prompt.size() && memmem(reply, len, s->prompt.data(), s->prompt.size()) != nullptr) {
            break;
        }
    }
    s->last_activity = time(nullptr);
    return static_cast<int>(len);
}

void pal_telnet_init_rwvectors() {
    pal_remote_init_common_rwvectors();
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    v.reg_read = pal_telnet_reg_read;
    v.reg_write = pal_telnet_reg_write;
    v.mem_read = pal_telnet_mem_read;
    v.mem_write = pal_telnet_mem_write;
    v.qsfp_read = pal_telnet_qsfp_read;
    v.qsfp_dom_read = pal_telnet_qsfp_dom_read;
}

pal_ret_t pal_init_telnet_internal(sdk::platform::platform_type_t type,
                                   sdk::types::dp_mem_layout_s*) {
    if (type != sdk::platform::PLATFORM_TYPE_HW_ALT && type != sdk::platform::PLATFORM_TYPE_X86_64) {
        return PAL_RET_NOK;
    }
    pal_telnet_init_rwvectors();
    std::lock_guard<std::mutex> lock(g_session_mutex);
    telnet_close(g_session);
    const char* port = getenv("PAL_TELNET_PORT");
    const char* host = getenv("PAL_TELNET_IPADDR");
    if (port == nullptr || host == nullptr) {
        LOGGER_ERR("Telnet port or ip-addr is not given");
        return PAL_RET_NOK;
    }
    pal_telnet_session_s* s = pal_telnet_connect(host, static_cast<int>(strtol(port, nullptr, 10)));
    if (s == nullptr) {
        LOGGER_ERR("Telnet connection failed");
        return PAL_RET_NOK;
    }
    g_session.reset(s);
    char reply[k_reply_max];
    pal_telnet_exchange(s, "test", reply, sizeof(reply), 100);
    pal_telnet_exchange(s, "show version", reply, sizeof(reply), k_cmd_wait_ms);
    pal_telnet_exchange(s, "log backend log_backend_uart disable", reply, sizeof(reply),
                        k_cmd_wait_ms);
    return PAL_RET_OK;
}

pal_ret_t pal_teardown_telnet_internal(sdk::platform::platform_type_t) {
    std::lock_guard<std::mutex> lock(g_session_mutex);
    if (!g_session) {
        return PAL_RET_OK;
    }
    g_session->running = false;
    {
        std::lock_guard<std::mutex> slock(g_session->mutex);
        g_session->stop_cv.notify_all();
    }
    if (g_session->keepalive.joinable()) {
        g_session->keepalive.join();
    }
    if (pal_telnet_is_connected(g_session.get())) {
        char reply[k_reply_max];
        pal_telnet_exchange(g_session.get(), "log backend log_backend_uart enable inf", reply,
                            sizeof(reply), 1000);
    }
    telnet_close(g_session);
    return PAL_RET_OK;
}

}  // namespace sdk::lib
