// Status codes and severity scales shared by every layer.
#pragma once

#include <cstdint>

namespace sdk {

// Platform status code: 0 success, 255 generic failure; the values in
// between name specific failures and are mapped to management-library codes.
enum sdk_ret_t : uint32_t {
    SDK_RET_OK = 0,
    SDK_RET_INVALID_ARG = 2,
    SDK_RET_INVALID_OP = 3,
    SDK_RET_ENTRY_NOT_FOUND = 4,
    SDK_RET_OOM = 6,
    SDK_RET_OOB = 8,
    SDK_RET_RETRY = 11,
    SDK_RET_TIMEOUT = 39,
    SDK_RET_NOT_SUPPORTED = 44,
    SDK_RET_INIT_ERR = 54,
    SDK_RET_MSG_SIZE_MISMATCH = 56,
    SDK_RET_IPC_CONN_ERR = 62,
    SDK_RET_IPC_OP_ERR = 63,
    SDK_RET_ERR = 255,
};

namespace types {

// Severity of the syslog scale; 0 and values above 8 mean "off".
enum syslog_level_e : uint32_t {
    log_none = 0,
    log_emerg = 1,
    log_alert = 2,
    log_crit = 3,
    log_err = 4,
    log_warn = 5,
    log_notice = 6,
    log_info = 7,
    log_debug = 8,
};

enum log_mode_e : uint32_t {
    log_mode_sync = 0,
    log_mode_async = 1,
};

}  // namespace types
}  // namespace sdk

// Severity of the program's trace scale; values above 5 mean "off".
enum trace_level_e : uint32_t {
    trace_level_none = 0,
    trace_level_err = 1,
    trace_level_warn = 2,
    trace_level_info = 3,
    trace_level_debug = 4,
    trace_level_verbose = 5,
};
