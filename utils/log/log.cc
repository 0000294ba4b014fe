#include "utils/log/log.hpp"

#include "utils/log/boot_flag.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/rotating_file_sink.hpp"

#include <pthread.h>
#include <sched.h>
#include <syslog.h>

#include <spdlog/async.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/syslog_sink.h>

#include <array>
#include <chrono>

namespace utils {

std::atomic<uint64_t> g_logger_cpu_mask{0};

namespace {

using spdlog::level::level_enum;

constexpr std::array<level_enum, 5> k_trace_levels{
    level_enum::err, level_enum::warn, level_enum::info, level_enum::debug, level_enum::trace};

constexpr std::array<level_enum, 8> k_syslog_levels{
    level_enum::critical, level_enum::critical, level_enum::critical, level_enum::err,
    level_enum::warn,     level_enum::info,     level_enum::info,     level_enum::debug};

}  // namespace

level_enum log::trace_level_to_spdlog_level(trace_level_e level) {
    if (level == 0 || level > k_trace_levels.size()) {
        return level_enum::off;
    }
    return k_trace_levels[level - 1];
}

level_enum log::syslog_level_to_spdlog_level(sdk::types::syslog_level_e level) {
    if (level == 0 || level > k_syslog_levels.size()) {
        return level_enum::off;
    }
    return k_syslog_levels[level - 1];
}

log *log::factory(const char *name, uint64_t cpu_mask, sdk::types::log_mode_e mode, bool syslogger,
                  const char *first_file, const char *second_file, uint64_t file_size, uint64_t num_files,
                  trace_level_e first_file_level, trace_level_e trace_level, sdk::types::syslog_level_e syslog_level,
                  bool flag) {
    if (name == nullptr || (first_file == nullptr && second_file == nullptr)) {
        return nullptr;
    }
    auto object = std::make_unique<log>();
    if (!object->init(name, cpu_mask, mode, syslogger, first_file, second_file, file_size, num_files,
                      first_file_level, trace_level, syslog_level, flag)) {
        return nullptr;
    }
    return object.release();
}

void log::destroy(log *logger) {
    // Takes back the ownership that factory() handed out.
    std::unique_ptr<log> owned(logger);
}

bool log::init(const char *name, uint64_t cpu_mask, sdk::types::log_mode_e mode, bool syslogger,
               const char *first_file, const char *second_file, uint64_t file_size, uint64_t num_files,
               trace_level_e first_file_level, trace_level_e trace_level, sdk::types::syslog_level_e syslog_level,
               bool /*flag*/) {
    uint64_t unset = 0;
    g_logger_cpu_mask.compare_exchange_strong(unset, cpu_mask);

    syslog_ = syslogger;
    trace_level_.store(trace_level);
    syslog_level_.store(syslog_level);
    first_file_ = first_file ? first_file : "";
    second_file_ = second_file ? second_file : "";

    const bool async = (mode == sdk::types::log_mode_async);
    if (async) {
        spdlog::init_thread_pool(k_async_qsize_, 1, &log::set_cpu_affinity);
        // The library flushes on a seconds clock; round up so flushing is never disabled.
        spdlog::flush_every(std::chrono::seconds((k_flush_intvl_ms_ + 999) / 1000));
    }

    std::shared_ptr<spdlog::logger> created;
    std::shared_ptr<spdlog::sinks::syslog_sink_mt> syslog_sink;
    if (syslog_) {
        syslog_sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(name, LOG_PID, LOG_USER, true);
        if (async) {
            created = std::make_shared<spdlog::async_logger>(name, syslog_sink, spdlog::thread_pool(),
                                                             spdlog::async_overflow_policy::overrun_oldest);
        } else {
            created = std::make_shared<spdlog::logger>(name, syslog_sink);
        }
        spdlog::drop(name);
        spdlog::register_logger(created);
    } else {
        auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
        // Each file reports its own errors, so that one that cannot be
        // written does not keep the message from the other.
        if (!first_file_.empty()) {
            try {
                auto sink = std::make_shared<rotating_file_sink_mt>(first_file_, file_size, num_files);
                sink->set_level(trace_level_to_spdlog_level(first_file_level));
                sink->set_error_reporter(&log_error_handler);
                dist->add_sink(std::move(sink));
            } catch (const spdlog::spdlog_ex &e) {
                // Another user's file or link at this path (the directory is
                // one others may write) must not keep the daemon from
                // starting: refused and reported, and the second file, which
                // gets these lines too, goes on alone.
                if (!owned_by_another_user(first_file_)) {
                    throw;
                }
                log_error_handler(e.what());
            }
        }
        if (!second_file_.empty()) {
            auto sink = std::make_shared<rotating_file_sink_mt>(second_file_, file_size, num_files);
            sink->set_level(level_enum::trace);
            sink->set_error_reporter(&log_error_handler);
            dist->add_sink(std::move(sink));
        }
        created = std::make_shared<spdlog::logger>(name, std::move(dist));
    }
    if (!created) {
        return false;
    }
    created->set_formatter(make_pattern_formatter(k_trace_pattern));
    if (syslog_sink) {
        syslog_sink->set_formatter(
            std::make_unique<spdlog::pattern_formatter>(k_syslog_pattern, spdlog::pattern_time_type::local, ""));
    }
    created->set_level(syslog_ ? syslog_level_to_spdlog_level(syslog_level) : trace_level_to_spdlog_level(trace_level));
    created->flush_on(level_enum::err);
    created->set_error_handler(&log_error_handler);
    std::atomic_store(&logger_, std::move(created));
    return true;
}

void log::set_trace_level(trace_level_e level) {
    if (syslog_) {
        return;
    }
    if (auto lg = logger()) {
        lg->set_level(trace_level_to_spdlog_level(level));
    }
    trace_level_.store(level);
}

void log::set_syslog_level(sdk::types::syslog_level_e level) {
    if (!syslog_) {
        return;
    }
    if (auto lg = logger()) {
        lg->set_level(syslog_level_to_spdlog_level(level));
    }
    syslog_level_.store(level);
}

void log::flush() {
    if (auto lg = logger()) {
        lg->flush();
    }
}

void log::set_cpu_affinity() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const uint64_t mask = g_logger_cpu_mask.load();
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (mask & (uint64_t{1} << cpu)) {
            CPU_SET(cpu, &set);
        }
    }
    (void)pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

log *trace_init(trace_params_s *params) {
    if (params == nullptr || params->name == nullptr || params->trace_file == nullptr) {
        return nullptr;
    }
    return log::factory(params->name, params->cpu_mask,
                        params->sync ? sdk::types::log_mode_sync : sdk::types::log_mode_async, false,
                        params->err_file, params->trace_file, params->file_size, params->num_files, trace_level_err,
                        params->trace_level, sdk::types::log_none, true);
}

void trace_cleanup(log *logger) {
    log::destroy(logger);
}

void trace_update(trace_level_e level, log *logger) {
    if (logger) {
        logger->set_trace_level(level);
    }
}

void flush_logs(log *logger) {
    if (logger) {
        logger->flush();
    }
}

}  // namespace utils
