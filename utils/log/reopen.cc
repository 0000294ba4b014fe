#include "utils/log/reopen.hpp"

#include "utils/log/rotating_file_sink.hpp"

#include <spdlog/sinks/dist_sink.h>

#include <memory>
#include <vector>

namespace utils {

namespace {

void reopen_sinks(const std::vector<spdlog::sink_ptr> &sinks) {
    for (const auto &sink : sinks) {
        if (auto file = std::dynamic_pointer_cast<rotating_file_sink_mt>(sink)) {
            file->reopen();
        } else if (auto dist = std::dynamic_pointer_cast<spdlog::sinks::dist_sink_mt>(sink)) {
            reopen_sinks(dist->sinks());
        }
    }
}

}  // namespace

void reopen_log_files(spdlog::logger &logger) {
    reopen_sinks(logger.sinks());
}

}  // namespace utils
