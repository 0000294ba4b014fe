// The trace call convention: every trace message carries the source location
// of its call site, printed by the pattern as "[<function>:<line>] ", is
// dropped unless the trace logger exists and its trace level admits the
// message, and is flushed at once.
#pragma once

#include "utils/log/log.hpp"

#include <fmt/format.h>

#include <utility>

// The daemon's trace logger; null until the trace log has started.
extern utils::log *g_trace_logger;

namespace utils {

// Formats and logs one message on `logger` at the library level of `level`,
// attributed to `loc`, then flushes. A format that the formatting layer
// rejects runs the format error hook and is reported through the error
// handler.
void trace_vlog(const std::shared_ptr<spdlog::logger> &logger, trace_level_e level, const spdlog::source_loc &loc,
                fmt::string_view format, fmt::format_args args);

template <typename... Args>
void trace_msg(trace_level_e level, const spdlog::source_loc &loc, fmt::format_string<Args...> format,
               Args &&...args) {
    log *tl = g_trace_logger;
    if (tl == nullptr || tl->trace_level() < level) {
        return;
    }
    auto logger = tl->logger();
    if (!logger) {
        return;
    }
    trace_vlog(logger, level, loc, format, fmt::make_format_args(args...));
}

}  // namespace utils

#define TALONMON_TRACE_(level, fmt_str, ...)                                      \
    ::utils::trace_msg(level, ::spdlog::source_loc{__FILE__, __LINE__, __func__}, \
                       fmt_str __VA_OPT__(, ) __VA_ARGS__)

#define TRACE_ERR(fmt_str, ...) TALONMON_TRACE_(trace_level_err, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_WARN(fmt_str, ...) TALONMON_TRACE_(trace_level_warn, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_INFO(fmt_str, ...) TALONMON_TRACE_(trace_level_info, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_DEBUG(fmt_str, ...) TALONMON_TRACE_(trace_level_debug, fmt_str __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_VERBOSE(fmt_str, ...) TALONMON_TRACE_(trace_level_verbose, fmt_str __VA_OPT__(, ) __VA_ARGS__)
