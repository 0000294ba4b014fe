// Termination signals and the stops they lead to.
#pragma once

#include <csignal>

inline constexpr int k_talonmon_exit_ok = 0;

// Clears the monitor's `running` flag and remembers the signal; the trace
// line for it is written later by talonmon_log_received_signal (a signal
// handler must not take the logger's locks).
void talonmon_signal_handler(int signo);

// Asks for the trace and telemetry files to be reopened (SIGHUP).
void talonmon_hangup_handler(int signo);

// SIGINT and SIGTERM stop the daemon, SIGHUP reopens its files, SIGPIPE is
// ignored: no signal a daemon conventionally receives ends it unasked.
void talonmon_install_signal_handlers();

// True once after each SIGHUP (several before a look count as one).
bool talonmon_take_reopen_request();

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread for the life of the
// object and then restores the thread's previous mask. Every thread the
// daemon starts is started inside such a scope, so that it inherits the
// block: a termination signal then always reaches the main thread and never
// interrupts a worker's, the health checker's or a library thread's system
// call.
class talonmon_termination_signal_block {
public:
    talonmon_termination_signal_block();
    ~talonmon_termination_signal_block();
    talonmon_termination_signal_block(const talonmon_termination_signal_block &) = delete;
    talonmon_termination_signal_block &operator=(const talonmon_termination_signal_block &) = delete;

private:
    sigset_t previous_;
};

// True once a termination signal has arrived. The handler is installed
// before the monitor state sets `running`, so a signal that came first must
// be honoured once `running` is set.
bool talonmon_stop_requested();

// Writes the "received signal" trace line if a termination signal arrived.
void talonmon_log_received_signal();

// Prints the last line of an orderly stop to standard output.
void talonmon_print_exiting();

// Ends the process at once with the messages of an orderly stop, for a stop
// that cannot wait for the health checker: the trace and card files are
// flushed, the health checker is not joined.
[[noreturn]] void talonmon_exit_without_health_checker();
