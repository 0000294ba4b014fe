#include "utils/log/trace.hpp"

#include "utils/log/error_handler.hpp"

utils::log *g_trace_logger = nullptr;

namespace utils {

void trace_vlog(const std::shared_ptr<spdlog::logger> &logger, trace_level_e level, const spdlog::source_loc &loc,
                fmt::string_view format, fmt::format_args args) {
    spdlog::memory_buf_t text;
    try {
        fmt::vformat_to(fmt::appender(text), format, args);
    } catch (const fmt::format_error &e) {
        if (auto hook = format_error_hook()) {
            hook(stderr);
        }
        log_error_handler(e.what());
        return;
    }
    logger->log(loc, log::trace_level_to_spdlog_level(level), spdlog::string_view_t(text.data(), text.size()));
    logger->flush();
}

}  // namespace utils
