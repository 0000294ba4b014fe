// Start of the daemon's trace log (talonmon.log and talonmon-err.log).
#pragma once

#include "monitor/talonmon_config.hpp"

#include <string>

inline constexpr const char *k_trace_logger_name = "talonmon";
inline constexpr const char *k_trace_file = "/talonmon.log";
inline constexpr const char *k_trace_err_file = "/talonmon-err.log";
inline constexpr uint64_t k_trace_file_size = 10485760;
inline constexpr uint64_t k_trace_num_files = 5;

// Path of `file` (which starts with '/') under `dir`, creating `dir` (one
// level) when it is missing. Empty, after a message on standard error, when
// the directory cannot be created or is not writable.
std::string talonmon_log_path(const char *dir, const char *file);

// Starts the daemon's logging, once, before any other thread: discards the
// lower layers' messages and creates the trace logger into g_trace_logger.
// 0 on success, 255 when the files cannot be created.
int talonmon_trace_init(const talonmon_init_params_s *params);
