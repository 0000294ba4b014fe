#include "monitor/talonmon_notify.hpp"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
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

}  // namespace

void talonmon_notify_ready() {
    ::sd_notify(0, "READY=1");
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
    if (::sd_notify(0, status.c_str()) > 0) {
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
    ::sd_notify(0, "WATCHDOG=1");
    s.last_ping = now;
}

void talonmon_notify_stopping() {
    ::sd_notify(0, "STOPPING=1");
}
