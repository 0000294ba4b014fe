#include "monitor/talonmon_notify.hpp"

#include "utils/log/trace.hpp"
#include "utils/sys/unique_fd.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

// Pings per watchdog period: one lost or late ping never ends the daemon.
constexpr uint64_t k_pings_per_watchdog_period = 4;

// What was last sent; the health checker is the only caller of the status
// and watchdog reports, the lock keeps a stray caller from racing it.
struct notify_state_s {
    std::mutex mutex;
    std::optional<std::tuple<size_t, size_t, size_t>> status;
    // The watchdog period asked for, read once: 0 when none.
    std::optional<uint64_t> watchdog_usec;
    std::chrono::steady_clock::time_point last_ping;
    // Messages the service manager's queue had no room for, or that could
    // not be sent at all; counted outside the lock.
    std::atomic<uint64_t> dropped{0};
};

notify_state_s &state() {
    static notify_state_s s;
    return s;
}

uint64_t watchdog_usec_locked(notify_state_s &s) {
    if (!s.watchdog_usec) {
        uint64_t usec = 0;
        s.watchdog_usec = ::sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
    }
    return *s.watchdog_usec;
}

// Counts a message that did not go out, and says so in the trace log at the
// 1st, 2nd, 4th, 8th... drop: a stalled manager drops a ping every few
// seconds, which must not flood the log.
void count_drop(std::string_view message, int err) {
    const uint64_t dropped = state().dropped.fetch_add(1, std::memory_order_relaxed) + 1;
    if ((dropped & (dropped - 1)) == 0) {
        TRACE_ERR("Notification {} to the service manager dropped ({} so far): {}", message, dropped,
                  std::strerror(err));
    }
}

// Sends `message` to NOTIFY_SOCKET without ever waiting: a service manager
// that stalls (its datagram queue full) loses the message, which is counted,
// instead of stalling the caller (the health checker, or a stop). sd_notify
// would block in that case. True when the message went out; false, and
// nothing counted, when there is no notification socket.
bool send_notification(std::string_view message) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t path_length = std::strlen(path);
    // '/' is a path name, '@' an abstract name (a leading NUL on the wire).
    if ((path[0] != '/' && path[0] != '@') || path_length >= sizeof(addr.sun_path)) {
        count_drop(message, EINVAL);
        return false;
    }
    std::memcpy(addr.sun_path, path, path_length);
    if (path[0] == '@') {
        addr.sun_path[0] = '\0';
    }
    const auto addr_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_length);
    const utils::unique_fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || ::sendto(fd.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&addr), addr_length) !=
                   static_cast<ssize_t>(message.size())) {
        count_drop(message, errno);
        return false;
    }
    return true;
}

}  // namespace

void talonmon_notify_ready() {
    send_notification("READY=1");
}

void talonmon_notify_status(size_t monitored, size_t down, size_t not_writing) {
    notify_state_s &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto counts = std::make_tuple(monitored, down, not_writing);
    if (s.status == counts) {
        return;
    }
    // Remembered only once sent: a status the manager did not get is retried.
    const std::string status = "STATUS=" + std::to_string(monitored) + (monitored == 1 ? " card" : " cards") +
                               " monitored, " + std::to_string(down) + " down" +
                               (not_writing == 0 ? "" : ", " + std::to_string(not_writing) + " not writing telemetry");
    if (send_notification(status)) {
        s.status = counts;
    }
}

void talonmon_notify_watchdog() {
    notify_state_s &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const uint64_t period_usec = watchdog_usec_locked(s);
    if (period_usec == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto interval = std::chrono::microseconds(period_usec / k_pings_per_watchdog_period);
    if (s.last_ping != std::chrono::steady_clock::time_point{} && now - s.last_ping < interval) {
        return;
    }
    send_notification("WATCHDOG=1");
    s.last_ping = now;
}

void talonmon_notify_stopping() {
    send_notification("STOPPING=1");
}
