// Module logger: a replaceable, process-wide print callback for the lower
// layers, plus a small registry of module ids that tag a thread's messages.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "sdk/types.hpp"

// Callback that receives every message of the lower layers: module id,
// severity, printf-style format and its arguments. Returns the printed length.
using logger_trace_cb_t = int (*)(uint32_t mod_id, trace_level_e level, const char* format, va_list args);

// Installs the callback; null restores printing to standard output.
void logger_init(logger_trace_cb_t cb);

// The installed callback, or stdout_logger_cb_ when none is installed.
logger_trace_cb_t logger_trace_cb();

bool logger_is_trace_cb_set();

// Hands one message to the callback logger_trace_cb() returns and passes on
// its result. Every message goes through here, so that the compiler checks
// each call's arguments against its format.
int logger_trace(uint32_t mod_id, trace_level_e level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Prints the formatted message (cut at 1023 characters) and a newline to
// standard output.
int stdout_logger_cb_(uint32_t mod_id, trace_level_e level, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// Discards the message.
int null_logger_cb_(uint32_t mod_id, trace_level_e level, const char* format, va_list args);

// Tags the calling thread with `id`; the first id registered in the process
// also becomes the fall-back for threads that never register one.
void logger_register_module_id(int32_t id);

// The thread's id when registered, else the process-wide one, else -1.
int32_t logger_get_module_id();

// Module id that every platform-access-layer message carries.
inline constexpr uint32_t k_logger_pal_module_id = 1;

// Logs through the installed callback with the "[file:line] " prefix the
// lower layers put in front of their messages.
#define LOGGER_TRACE(level, fmt, ...)                                                     \
    logger_trace(k_logger_pal_module_id, (level), "[%s:%d] " fmt,                         \
                 logger_file_name(__FILE__), __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define LOGGER_ERR(fmt, ...) LOGGER_TRACE(trace_level_err, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGGER_INFO(fmt, ...) LOGGER_TRACE(trace_level_info, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOGGER_DEBUG(fmt, ...) LOGGER_TRACE(trace_level_debug, fmt __VA_OPT__(, ) __VA_ARGS__)

// Base name of a source path, evaluated at compile time where possible.
constexpr const char* logger_file_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}
