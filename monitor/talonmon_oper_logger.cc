#include "monitor/talonmon_oper_logger.hpp"

#include "utils/log/boot_flag.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/rotating_file_sink.hpp"
#include "utils/log/trace.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace {

void report_lost_lines(const std::string &filename, uint64_t lost_lines) {
    TRACE_ERR("Writing to {} resumed, {} line(s) lost", filename, lost_lines);
}

talonmon_metrics_file_e file_of(const std::string &type) {
    return type == "event" ? talonmon_metrics_file_e::event : talonmon_metrics_file_e::stats;
}

unsigned file_bit(talonmon_metrics_file_e file) {
    return 1U << static_cast<unsigned>(file);
}

}  // namespace

void talonmon_telemetry_status::count_open_failure() {
    if (metrics_) {
        metrics_->count_telemetry_write_error();
    }
}

void talonmon_telemetry_status::line_lost(talonmon_metrics_file_e file) {
    failing_files_.fetch_or(file_bit(file), std::memory_order_relaxed);
    if (metrics_) {
        metrics_->count_telemetry_write_error();
    }
}

void talonmon_telemetry_status::writing_resumed(talonmon_metrics_file_e file) {
    failing_files_.fetch_and(~file_bit(file), std::memory_order_relaxed);
}

std::string talonmon_oper_logger_name(const aml_card_handle_s &card, const std::string &type) {
    return "logger_" + type + "_" + card.bdf;
}

std::string talonmon_oper_logger_path(const aml_card_handle_s &card, const std::string &dir,
                                      const std::string &type) {
    return dir + "/card_" + card.bdf + "_" + type + ".log";
}

std::shared_ptr<spdlog::logger> talonmon_oper_logger_init(const aml_card_handle_s &card, const std::string &dir,
                                                          const std::string &type,
                                                          std::shared_ptr<talonmon_telemetry_status> status) {
    using sink_t = utils::rotating_file_sink_mt;
    const std::string name = talonmon_oper_logger_name(card, type);
    const std::string path = talonmon_oper_logger_path(card, dir, type);
    spdlog::drop(name);
    std::shared_ptr<sink_t> sink;
    try {
        sink = std::make_shared<sink_t>(path, k_telemetry_file_size, k_telemetry_num_files);
    } catch (const spdlog::spdlog_ex &e) {
        TRACE_ERR("logger init failed ({}): {}", name, e.what());
        if (status) {
            status->count_open_failure();
        }
        sink = std::make_shared<sink_t>(path, k_telemetry_file_size, k_telemetry_num_files,
                                        sink_t::open_failure::retry_on_write);
    }
    const talonmon_metrics_file_e file = file_of(type);
    sink->set_lost_lines_handler([status, file](const std::string &filename, uint64_t lost_lines) {
        report_lost_lines(filename, lost_lines);
        if (status) {
            status->writing_resumed(file);
        }
    });
    if (status) {
        sink->set_line_lost_hook([status, file] { status->line_lost(file); });
    }
    auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
    spdlog::initialize_logger(logger);
    logger->set_formatter(utils::make_pattern_formatter("%v"));
    logger->set_level(spdlog::level::info);
    return logger;
}

void talonmon_oper_logger_deinit(const aml_card_handle_s &card, const std::string &type) {
    spdlog::drop(talonmon_oper_logger_name(card, type));
}

namespace {

// The file sink of a telemetry logger, or null when `logger` writes elsewhere.
utils::rotating_file_sink_mt *file_of(const std::shared_ptr<spdlog::logger> &logger) {
    const auto &sinks = logger->sinks();
    auto *file = sinks.size() == 1 ? dynamic_cast<utils::rotating_file_sink_mt *>(sinks.front().get()) : nullptr;
    return file != nullptr && file->should_log(spdlog::level::info) ? file : nullptr;
}

}  // namespace

void talonmon_oper_write_lines(const std::shared_ptr<spdlog::logger> &logger, std::string_view lines) {
    if (!logger || !logger->should_log(spdlog::level::info) || lines.empty()) {
        return;
    }
    auto *file = file_of(logger);
    if (file == nullptr) {
        // Not a file of ours: line by line through the logger, without the
        // line feed its formatter adds.
        while (!lines.empty()) {
            const size_t end = std::min(lines.find('\n'), lines.size());
            talonmon_oper_log_line(logger, std::string(lines.substr(0, end)));
            lines.remove_prefix(std::min(end + 1, lines.size()));
        }
        return;
    }
    try {
        file->write_lines(lines);
    } catch (const spdlog::spdlog_ex &e) {
        // Reported as the logger reports its sink's errors.
        utils::log_error_handler(e.what());
    }
}

void talonmon_oper_write_line(const std::shared_ptr<spdlog::logger> &logger, std::string_view line) {
    talonmon_oper_write_lines(logger, line);
}

void talonmon_oper_log_line(const std::shared_ptr<spdlog::logger> &logger, const std::string &line) {
    if (logger && logger->should_log(spdlog::level::info)) {
        logger->log(spdlog::level::info, spdlog::string_view_t(line));
        logger->flush();
    }
}
