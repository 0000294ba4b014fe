// The single-instance check made at start-up.
#pragma once

#include <string>

// True when `ps` lists another process whose line names the program `prog`.
bool another_instance_running(const std::string &prog);
