// The trace call convention: every trace message starts with
// "[<function>:<line>] ", is dropped unless the trace logger exists and its
// trace level admits the message, and is flushed at once.
#pragma once

#include "utils/log/log.hpp"

#include <fmt/format.h>

#include <utility>

// The daemon's trace logger; null until the trace log has started.
extern utils::log *g_trace_logger;

namespace utils {

// Formats and logs one message on `logger` at the library level of `level`,
// then flushes. A format that the formatting layer rejects runs the format
// error hook and is reported through the error handler.
void trace_vlog(const std::shared_ptr<spdlog::logger> &logger, trace_level_e level, fmt::string_view format,
                fmt::format_args args);

template <typename... Args>
void trace_msg(trace_level_e level, fmt::format_string<const char *, int, Args...> format, const char *func, int line,
               Args &&...args) {
    log *tl = g_trace_logger;
    if (tl == nullptr || tl->trace_level() < level) {
        return;
    }
    auto logger = tl->logger();
    if (!logger) {
        return;
    }
    trace_vlog(logger, level, format, fmt::make_format_args(func, line, args...));
}

}  // namespace utils

#define TALONMON_TRACE_(level, fmt_str, ...) \
    ::utils::trace_msg(level, "[{}:{}] " fmt_str, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define TRACE_ERR(fmt_str, ...) TALONMON_TRACE_(trace_level_err, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_WARN(fmt_str, ...) TALONMON_TRACE_(trace_level_warn, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_INFO(fmt_str, ...) TALONMON_TRACE_(trace_level_info, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_DEBUG(fmt_str, ...) TALONMON_TRACE_(trace_level_debug, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_VERBOSE(fmt_str, ...) TALONMON_TRACE_(trace_level_verbose, fmt_str __VA_OPT__(, ) __VA_ARGS__)

// The same, naming `func` instead of the enclosing function (for helpers
// shared by several entry points).
#define TRACE_ERR_FN(func, fmt_str, ...) \
    ::utils::trace_msg(trace_level_err, "[{}:{}] " fmt_str, func, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_INFO_FN(func, fmt_str, ...) \
    ::utils::trace_msg(trace_level_info, "[{}:{}] " fmt_str, func, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
