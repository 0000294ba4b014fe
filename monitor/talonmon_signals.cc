#include "monitor/talonmon_signals.hpp"

#include "monitor/talonmon_state.hpp"
#include "utils/log/trace.hpp"

#include <pthread.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

std::atomic<int> g_received_signal{0};
std::atomic<bool> g_reopen_requested{false};
// Where the handler ran: its trace line is written later, outside the handler.
std::atomic<const spdlog::source_loc *> g_signal_handler_loc{nullptr};

}  // namespace

void talonmon_signal_handler(int signo) {
    static constexpr spdlog::source_loc k_here{__FILE__, __LINE__, __func__};
    g_signal_handler_loc.store(&k_here);
    g_received_signal.store(signo);
    g_talonmon_state.set_running(false);
}
static_assert(decltype(g_signal_handler_loc)::is_always_lock_free, "stored from a signal handler");
static_assert(decltype(g_reopen_requested)::is_always_lock_free, "stored from a signal handler");

void talonmon_hangup_handler(int /*signo*/) {
    g_reopen_requested.store(true);
}

void talonmon_install_signal_handlers() {
    std::signal(SIGINT, talonmon_signal_handler);
    std::signal(SIGTERM, talonmon_signal_handler);
    std::signal(SIGHUP, talonmon_hangup_handler);
    // A peer that goes away mid-write is an error of that write, not the
    // end of the daemon (which the service manager would count as clean).
    std::signal(SIGPIPE, SIG_IGN);
}

bool talonmon_take_reopen_request() {
    return g_reopen_requested.exchange(false);
}

talonmon_termination_signal_block::talonmon_termination_signal_block() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &termination, &previous_);
}

talonmon_termination_signal_block::~talonmon_termination_signal_block() {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool talonmon_stop_requested() { return g_received_signal.load() != 0; }

void talonmon_log_received_signal() {
    int signo = g_received_signal.load();
    const spdlog::source_loc *where = g_signal_handler_loc.load();
    if (signo != 0 && where != nullptr) {
        utils::trace_msg(trace_level_info, *where, "received signal {}, exiting ...", signo);
    }
}

void talonmon_print_exiting() {
    std::printf("Exiting TALON monitor ...\n");
    std::fflush(stdout);
}

void talonmon_exit_without_health_checker() {
    talonmon_log_received_signal();
    // Every record is flushed as it is written; this covers the trace log.
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger> &logger) { logger->flush(); });
    talonmon_print_exiting();
    std::_Exit(k_talonmon_exit_ok);
}
