// Reports to the service manager: readiness, a one-line status, liveness
// pings and the start of a stop. Every call does nothing when the daemon was
// not started with a notification socket (NOTIFY_SOCKET unset), so outside
// systemd nothing changes. No call ever waits: a message the service
// manager has no room for is dropped, and the drops are counted in the trace
// log.
#pragma once

#include <cstddef>

// The daemon has started: configuration read, directories checked, no other
// instance, trace log open and the monitor running.
void talonmon_notify_ready();

// How many cards are monitored, how many of them are down and how many
// cannot write their telemetry files ("2 cards monitored, 0 down", with ",
// 1 not writing telemetry" while that is not 0); sent only when a count
// differs from the last status sent.
void talonmon_notify_status(size_t monitored, size_t down, size_t not_writing = 0);

// Proves the caller's loop is making progress. Sent only when the service
// manager asked for it (WatchdogSec=, WATCHDOG_USEC) and at most four times
// per watchdog period, so callers may call it on every turn of their loop.
void talonmon_notify_watchdog();

// The daemon is stopping.
void talonmon_notify_stopping();
