// The per-card telemetry files: card_<bdf>_stats.log and card_<bdf>_event.log.
#pragma once

#include "aml/aml_card.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"

#include <spdlog/logger.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t k_telemetry_file_size = 10485760;
inline constexpr size_t k_telemetry_num_files = 5;

// Whether a card's telemetry files are being written. Shared by the card's
// context and its files: a lost line marks its file failing (and counts it),
// writing that resumes clears the mark.
class talonmon_telemetry_status {
public:
    // `metrics` may be null (no metrics endpoint).
    explicit talonmon_telemetry_status(std::shared_ptr<talonmon_card_metrics> metrics)
        : metrics_(std::move(metrics)) {}

    // A file of the card could not be opened: counted, and marked failing
    // by the first line it loses.
    void count_open_failure();
    void line_lost(talonmon_metrics_file_e file);
    void writing_resumed(talonmon_metrics_file_e file);
    // True while some file of the card loses its lines.
    bool failing() const { return failing_files_.load(std::memory_order_relaxed) != 0; }

private:
    std::shared_ptr<talonmon_card_metrics> metrics_;
    std::atomic<unsigned> failing_files_{0};
};

// "logger_<type>_<bdf>"
std::string talonmon_oper_logger_name(const aml_card_handle_s &card, const std::string &type);
// "<dir>/card_<bdf>_<type>.log"
std::string talonmon_oper_logger_path(const aml_card_handle_s &card, const std::string &dir,
                                      const std::string &type);

// Opens (appends to) the card's file of `type` ("stats" or "event") and
// registers its logger. A file that cannot be opened is reported in an
// error-level trace line and counted in `status`; its logger then tries to
// open it with every line, so writing starts once the cause is mended.
std::shared_ptr<spdlog::logger> talonmon_oper_logger_init(const aml_card_handle_s &card, const std::string &dir,
                                                          const std::string &type,
                                                          std::shared_ptr<talonmon_telemetry_status> status = nullptr);

// Removes the card's logger of `type` from the registry; the file closes
// when its last holder lets go.
void talonmon_oper_logger_deinit(const aml_card_handle_s &card, const std::string &type);

// Writes `line`, ending with its line feed, straight into the file of
// `logger` (made by talonmon_oper_logger_init) as an information-level
// message: the same bytes as talonmon_oper_log_line without the line feed,
// without formatting or copying it.
void talonmon_oper_write_line(const std::shared_ptr<spdlog::logger> &logger, std::string_view line);

// The same for `lines`, whole lines each ending with its line feed, written
// with one write(2) between rotations of the file.
void talonmon_oper_write_lines(const std::shared_ptr<spdlog::logger> &logger, std::string_view lines);

// Writes one line through `logger` at information level and flushes it.
void talonmon_oper_log_line(const std::shared_ptr<spdlog::logger> &logger, const std::string &line);
