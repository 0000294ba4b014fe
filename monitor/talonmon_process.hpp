// Process-level pieces of the daemon: signal handling and stack traces.
#pragma once

#include <cstdio>

// Clears the monitor's `running` flag and remembers the signal; the trace
// line for it is written later by talonmon_log_received_signal (a signal
// handler must not take the logger's locks).
void talonmon_signal_handler(int signo);

// Writes the "received signal" trace line if a termination signal arrived.
void talonmon_log_received_signal();

// Ends the process at once with the messages of an orderly stop, for a stop
// that cannot wait for the health checker: the trace and card files are
// flushed, the health checker is not joined.
[[noreturn]] void talonmon_exit_without_health_checker();

// Writes a symbolised backtrace of the calling thread to `out`.
void print_stack_trace(std::FILE *out);

// The daemon's command line; returns the exit status.
int talonmon_main(int argc, char **argv);
