// The single-instance check made at start-up.
#pragma once

#include <string>

// True when another process named exactly `prog` (as far as the kernel
// keeps process names) runs as root in the daemon's process table.
bool another_instance_running(const std::string &prog);
