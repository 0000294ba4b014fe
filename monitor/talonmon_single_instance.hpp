// The single-instance check made at start-up.
#pragma once

#include <string>

// True when `ps` lists another process whose command name is that of the
// program `prog` (as the kernel keeps it: its first 15 bytes).
bool another_instance_running(const std::string &prog);
