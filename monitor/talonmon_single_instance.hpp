// The single-instance check made at start-up.
#pragma once

#include "utils/sys/unique_fd.hpp"

#include <string>

// True when another process named exactly `prog` (as far as the kernel
// keeps process names) runs as root in the daemon's process table and
// started before this one. Two daemons started at the same moment do not
// refuse each other here: the instance lock decides between them.
bool another_instance_running(const std::string &prog);

// Takes an exclusive lock on the telemetry directory (the resource two
// instances would corrupt), held while `lock` lives: 0, or -1 when another
// process holds it. A directory that cannot be locked (an error other than
// contention) is not a second instance: 0 with `lock` empty.
int talonmon_lock_instance(const std::string &telemetry_dir, utils::unique_fd &lock);
