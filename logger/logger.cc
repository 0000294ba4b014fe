#include "logger/logger.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

// Written before other threads log (see logger_init); atomic so that a late
// installation is still free of data races.
std::atomic<logger_trace_cb_t> trace_cb_{nullptr};

thread_local int32_t thread_module_id_ = -1;
std::atomic<int32_t> process_module_id_{-1};

constexpr size_t k_stdout_buf_size = 1024;

}  // namespace

void logger_init(logger_trace_cb_t cb) { trace_cb_.store(cb, std::memory_order_release); }

logger_trace_cb_t logger_trace_cb() {
    logger_trace_cb_t cb = trace_cb_.load(std::memory_order_acquire);
    return cb != nullptr ? cb : stdout_logger_cb_;
}

bool logger_is_trace_cb_set() { return trace_cb_.load(std::memory_order_acquire) != nullptr; }

int logger_trace(uint32_t mod_id, trace_level_e level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int rc = logger_trace_cb()(mod_id, level, format, args);
    va_end(args);
    return rc;
}

int stdout_logger_cb_(uint32_t, trace_level_e, const char* format, va_list args) {
    char buf[k_stdout_buf_size];
    vsnprintf(buf, sizeof(buf), format, args);
    return printf("%s\n", buf);
}

int null_logger_cb_(uint32_t, trace_level_e, const char*, va_list) { return 0; }

void logger_register_module_id(int32_t id) {
    thread_module_id_ = id;
    int32_t unset = -1;
    process_module_id_.compare_exchange_strong(unset, id);
}

int32_t logger_get_module_id() {
    if (thread_module_id_ >= 0) {
        return thread_module_id_;
    }
    int32_t process_id = process_module_id_.load();
    return process_id >= 0 ? process_id : -1;
}
