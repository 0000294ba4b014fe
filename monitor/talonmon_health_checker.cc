// The health-checker thread: card discovery, LIF and port rediscovery and
// liveness checks on their periods, and its bounded stop.
#include "monitor/talonmon_notify.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "monitor/talonmon_signals.hpp"
#include "monitor/talonmon_state.hpp"
#include "utils/log/reopen.hpp"
#include "utils/log/trace.hpp"

#include <pthread.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

namespace {
// The health checker's pass counter: the tick of its current or coming
// pass, counted in k_tick_us steps of the monotonic clock from the
// checker's start. Written by the health checker only.
std::atomic<uint64_t> g_health_tick{0};

}  // namespace

void talonmon_health_check_pass(uint64_t tick) {
    if (tick % g_card_discovery_ticks == 0) {
        g_talonmon_state.discover_cards();
    }
    if (tick % g_lif_discovery_ticks == 0) {
        g_talonmon_state.discover_lifs();
    }
    if (tick % g_port_discovery_ticks == 0) {
        g_talonmon_state.discover_ports();
    }
    if (tick % g_liveness_poll_ticks == 0) {
        g_talonmon_state.inspect_card_health();
    }
    talonmon_report_card_counts();
}

void talonmon_report_card_counts() {
    const size_t monitored = g_talonmon_state.num_cards();
    size_t down = 0;
    size_t not_writing = 0;
    for (size_t i = 0; i < monitored; ++i) {
        talonmon_card_ctxt_s &ctxt = g_talonmon_state.card(i);
        if (ctxt.is_down()) {
            ++down;
        }
        if (ctxt.telemetry && ctxt.telemetry->failing()) {
            ++not_writing;
        }
    }
    talonmon_notify_status(monitored, down, not_writing);
}

namespace {

// How long a stop waits for the health checker: a pass may sit in a card
// exchange until that exchange's own time-out ends it.
constexpr auto k_health_checker_stop_wait = std::chrono::milliseconds(900);
constexpr auto k_stop_poll = std::chrono::milliseconds(20);

// The health checker's end, as seen by the thread that started it.
struct health_checker_end_s {
    std::mutex mutex;
    std::condition_variable cond;
    bool ended = false;
};

constexpr uint64_t k_ns_per_s = 1000000000;
constexpr uint64_t k_ns_per_us = 1000;
constexpr uint64_t k_tick_ns = k_tick_us * k_ns_per_us;
// Longest single sleep of the health checker: a stop is noticed within it.
constexpr uint64_t k_health_sleep_slice_ns = 50000000;

uint64_t monotonic_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t next_multiple(uint64_t from, uint64_t period) {
    const uint64_t rest = from % period;
    return rest == 0 ? from : from + (period - rest);
}

// The first tick from `from` on on which some pass of the health checker
// is due.
uint64_t next_health_tick(uint64_t from) {
    return std::min({next_multiple(from, g_card_discovery_ticks), next_multiple(from, g_lif_discovery_ticks),
                     next_multiple(from, g_port_discovery_ticks), next_multiple(from, g_liveness_poll_ticks)});
}

// Sleeps until `deadline_ns` on the monotonic clock, in slices short enough
// that a stop is seen promptly; returns early once `running` is cleared.
// Every slice proves to the service manager's watchdog that the health
// checker is alive: a pass that never returns stops the pings.
void sleep_while_running(uint64_t deadline_ns) {
    while (g_talonmon_state.running()) {
        talonmon_notify_watchdog();
        const uint64_t now = monotonic_ns();
        if (now >= deadline_ns) {
            return;
        }
        const uint64_t until = std::min(deadline_ns, now + k_health_sleep_slice_ns);
        struct timespec ts {};
        ts.tv_sec = static_cast<time_t>(until / k_ns_per_s);
        ts.tv_nsec = static_cast<long>(until % k_ns_per_s);
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

}  // namespace

uint64_t talonmon_health_tick() {
    return g_health_tick.load(std::memory_order_relaxed);
}

void *talonmon_health_checker(void *arg) {
    TRACE_INFO("Starting health monitoring of the cards ...");
    uint64_t tick = 0;
    g_health_tick.store(tick, std::memory_order_relaxed);
    const uint64_t origin_ns = monotonic_ns();
    while (g_talonmon_state.running()) {
        talonmon_health_check_pass(tick);
        const uint64_t now_tick = (monotonic_ns() - origin_ns) / k_tick_ns;
        tick = next_health_tick(std::max(tick + 1, now_tick));
        g_health_tick.store(tick, std::memory_order_relaxed);
        sleep_while_running(origin_ns + tick * k_tick_ns);
    }
    if (arg != nullptr) {
        auto *end = static_cast<health_checker_end_s *>(arg);
        std::lock_guard<std::mutex> lock(end->mutex);
        end->ended = true;
        end->cond.notify_all();
    }
    return nullptr;
}

void talonmon_reopen_files() {
    if (g_trace_logger != nullptr) {
        if (const auto trace = g_trace_logger->logger()) {
            utils::reopen_log_files(*trace);
        }
    }
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger> &logger) { utils::reopen_log_files(*logger); });
    TRACE_INFO("Received SIGHUP, reopened the trace and telemetry files");
}

int talonmon_run_health_checker() {
    // Outlives this call: a health checker that is left behind still
    // reports its end here.
    static health_checker_end_s end;
    pthread_t health_checker;
    int rc;
    {
        // The health checker and the workers it starts keep termination
        // signals blocked; this thread only waits, and takes them.
        const talonmon_termination_signal_block block;
        rc = ::pthread_create(&health_checker, nullptr, talonmon_health_checker, &end);
    }
    if (rc != 0) {
        return sdk::SDK_RET_ERR;
    }
    // Everything the daemon starts with is up: the manager may go on.
    talonmon_notify_ready();
    {
        std::unique_lock<std::mutex> lock(end.mutex);
        while (!end.cond.wait_for(lock, k_stop_poll, [] { return end.ended; })) {
            if (talonmon_take_reopen_request()) {
                talonmon_reopen_files();
            }
            if (g_talonmon_state.running()) {
                continue;
            }
            talonmon_notify_stopping();
            // Stopping: the health checker gets a bounded time to finish its pass.
            if (!end.cond.wait_for(lock, k_health_checker_stop_wait, [] { return end.ended; })) {
                lock.unlock();
                TRACE_WARN("Health checker did not stop within {} ms, exiting without it",
                           k_health_checker_stop_wait.count());
                talonmon_exit_without_health_checker();
            }
            break;
        }
    }
    ::pthread_join(health_checker, nullptr);
    return 0;
}
