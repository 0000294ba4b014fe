// The trace logger: one library logger writing either two size-rotated files
// (an error-only file and a full file) or to syslog, with the program's two
// severity scales mapped onto the library's levels.
#pragma once

#include "sdk/types.hpp"

#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace utils {

// CPU mask for the asynchronous logging thread; set by the first init().
extern std::atomic<uint64_t> g_logger_cpu_mask;

// Every file line: level, boot number, local time, thread id, then the call
// site's function and line ahead of the message.
inline constexpr const char *k_trace_pattern = "%L [%Q %Y-%m-%d %H:%M:%S.%f] (%t) [%!:%#] %v";
// Syslog stamps time, host and process itself: only the call site and the
// message, without a line end.
inline constexpr const char *k_syslog_pattern = "[%!:%#] %v";

class log {
public:
    static constexpr uint32_t k_flush_intvl_ms_ = 50;
    static constexpr uint32_t k_async_overflow_policy_ = 1;  // discard when the queue is full
    static constexpr uint32_t k_async_qsize_ = 131072;

    // Returns null when name is null or both file names are null; `flag` is ignored.
    // May throw spdlog::spdlog_ex when a file cannot be opened.
    static log *factory(const char *name, uint64_t cpu_mask, sdk::types::log_mode_e mode, bool syslogger,
                        const char *first_file, const char *second_file, uint64_t file_size, uint64_t num_files,
                        trace_level_e first_file_level, trace_level_e trace_level,
                        sdk::types::syslog_level_e syslog_level, bool flag);
    static void destroy(log *logger);

    bool init(const char *name, uint64_t cpu_mask, sdk::types::log_mode_e mode, bool syslogger,
              const char *first_file, const char *second_file, uint64_t file_size, uint64_t num_files,
              trace_level_e first_file_level, trace_level_e trace_level, sdk::types::syslog_level_e syslog_level,
              bool flag);

    void set_trace_level(trace_level_e level);
    void set_syslog_level(sdk::types::syslog_level_e level);
    void flush();
    std::shared_ptr<spdlog::logger> logger() const { return std::atomic_load(&logger_); }
    trace_level_e trace_level() const { return trace_level_.load(); }
    sdk::types::syslog_level_e syslog_level() const { return syslog_level_.load(); }
    bool syslog() const { return syslog_; }
    const std::string &first_file() const { return first_file_; }
    const std::string &second_file() const { return second_file_; }

    static void set_cpu_affinity();
    static spdlog::level::level_enum trace_level_to_spdlog_level(trace_level_e level);
    static spdlog::level::level_enum syslog_level_to_spdlog_level(sdk::types::syslog_level_e level);

private:
    bool syslog_ = false;
    std::atomic<trace_level_e> trace_level_{trace_level_none};
    std::atomic<sdk::types::syslog_level_e> syslog_level_{sdk::types::log_none};
    std::shared_ptr<spdlog::logger> logger_;
    std::string first_file_;
    std::string second_file_;
};

struct trace_params_s {
    const char *name;
    uint64_t cpu_mask;
    bool sync;
    const char *err_file;
    const char *trace_file;
    uint64_t file_size;
    uint64_t num_files;
    trace_level_e trace_level;
};

log *trace_init(trace_params_s *params);
void trace_cleanup(log *logger);
void trace_update(trace_level_e level, log *logger);
void flush_logs(log *logger);

}  // namespace utils
