// How logging failures reach the operator.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace utils {

// The process-wide error handler of the logging library: writes
// "spdlog error: <text>\n" to standard error and nothing else.
void log_error_handler(const std::string &msg);

// Errors passed to log_error_handler since the process started.
uint64_t log_error_count();

// Keeps the errors of one file from flooding standard error: the first
// occurrence of each distinct error is reported at once, and after that at
// most one error a minute, telling how many were held back since the last
// such report. Not thread-safe: its owner serialises calls.
class error_rate_limit {
public:
    static constexpr std::chrono::seconds k_interval{60};
    // Distinct errors remembered; further new ones count as repeats.
    static constexpr std::size_t k_max_distinct = 16;

    // The text to report for `error` occurring at `now`, or nothing when it
    // is held back.
    std::optional<std::string> admit(const std::string &error, std::chrono::steady_clock::time_point now);

private:
    std::vector<std::string> seen_;
    std::optional<std::chrono::steady_clock::time_point> last_report_;
    uint64_t held_back_ = 0;
};

// Called with standard error when a trace message cannot be formatted,
// before the format error is reported; the daemon installs its stack-trace
// printer here. Install once at start-up, before other threads log.
using format_error_hook_t = void (*)(std::FILE *out);
void set_format_error_hook(format_error_hook_t hook);
format_error_hook_t format_error_hook();

}  // namespace utils
