// How logging failures reach the operator.
#pragma once

#include <cstdio>
#include <string>

namespace utils {

// The process-wide error handler of the logging library: writes
// "spdlog error: <text>\n" to standard error and nothing else.
void log_error_handler(const std::string &msg);

// Called with standard error when a trace message cannot be formatted,
// before the format error is reported; the daemon installs its stack-trace
// printer here. Install once at start-up, before other threads log.
using format_error_hook_t = void (*)(std::FILE *out);
void set_format_error_hook(format_error_hook_t hook);
format_error_hook_t format_error_hook();

}  // namespace utils
