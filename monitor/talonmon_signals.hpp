// Termination signals and the stops they lead to.
#pragma once

inline constexpr int k_talonmon_exit_ok = 0;

// Clears the monitor's `running` flag and remembers the signal; the trace
// line for it is written later by talonmon_log_received_signal (a signal
// handler must not take the logger's locks).
void talonmon_signal_handler(int signo);

// Blocks (or unblocks) SIGINT and SIGTERM in the calling thread. The main
// thread blocks them before it starts any thread, so that every thread of
// the daemon inherits the block, and unblocks them once it only waits for
// the stop: a termination signal then always reaches the main thread and
// never interrupts a worker's or the health checker's system call.
void talonmon_block_termination_signals(bool blocked);

// Writes the "received signal" trace line if a termination signal arrived.
void talonmon_log_received_signal();

// Prints the last line of an orderly stop to standard output.
void talonmon_print_exiting();

// Ends the process at once with the messages of an orderly stop, for a stop
// that cannot wait for the health checker: the trace and card files are
// flushed, the health checker is not joined.
[[noreturn]] void talonmon_exit_without_health_checker();
