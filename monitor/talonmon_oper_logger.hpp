// The per-card telemetry files: card_<bdf>_stats.log and card_<bdf>_event.log.
#pragma once

#include "aml/aml_card.hpp"

#include <spdlog/logger.h>

#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t k_telemetry_file_size = 10485760;
inline constexpr size_t k_telemetry_num_files = 5;

// "logger_<type>_<bdf>"
std::string talonmon_oper_logger_name(const aml_card_handle_s &card, const std::string &type);
// "<dir>/card_<bdf>_<type>.log"
std::string talonmon_oper_logger_path(const aml_card_handle_s &card, const std::string &dir,
                                      const std::string &type);

// Opens (appends to) the card's file of `type` ("stats" or "event") and
// registers its logger; empty after an error-level trace line when the file
// cannot be opened.
std::shared_ptr<spdlog::logger> talonmon_oper_logger_init(const aml_card_handle_s &card, const std::string &dir,
                                                          const std::string &type);

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
