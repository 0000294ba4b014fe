// Reopening log files for external rotation (logrotate moves a file away and
// asks the writer to open a fresh one).
#pragma once

#include <spdlog/logger.h>

namespace utils {

// Reopens every rotating file sink of `logger`, those inside a
// distributing sink included; other sinks are left alone.
void reopen_log_files(spdlog::logger &logger);

}  // namespace utils
