// Collects the lines handed to the module logger.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "logger/logger.hpp"

namespace talon_test {

struct logged_line {
    uint32_t mod_id;
    trace_level_e level;
    std::string text;
};

inline std::mutex g_log_mutex;
inline std::vector<logged_line> g_log_lines;

inline int capture_log_cb(uint32_t mod_id, trace_level_e level, const char* format, ...) {
    char buf[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.push_back({mod_id, level, buf});
    return 0;
}

// Installs the collector and empties it.
inline void capture_log_start() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.clear();
    logger_init(capture_log_cb);
}

// True when some captured line contains `needle` (at `level`, unless none).
inline bool log_has(const std::string& needle, trace_level_e level = trace_level_none) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    for (const auto& l : g_log_lines) {
        if (l.text.find(needle) != std::string::npos && (level == trace_level_none || l.level == level)) {
            return true;
        }
    }
    return false;
}

inline std::vector<logged_line> log_lines() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log_lines;
}

}  // namespace talon_test
