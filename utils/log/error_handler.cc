#include "utils/log/error_handler.hpp"

#include <algorithm>
#include <atomic>

namespace utils {

namespace {
std::atomic<format_error_hook_t> g_format_error_hook{nullptr};
std::atomic<uint64_t> g_log_errors{0};
}

void log_error_handler(const std::string &msg) {
    g_log_errors.fetch_add(1, std::memory_order_relaxed);
    std::fprintf(stderr, "spdlog error: %s\n", msg.c_str());
}

uint64_t log_error_count() {
    return g_log_errors.load(std::memory_order_relaxed);
}

std::optional<std::string> error_rate_limit::admit(const std::string &error,
                                                   std::chrono::steady_clock::time_point now) {
    const bool seen = std::find(seen_.begin(), seen_.end(), error) != seen_.end();
    if (!seen && seen_.size() < k_max_distinct) {
        seen_.push_back(error);
        last_report_ = now;
        return error;
    }
    if (last_report_ && now - *last_report_ < k_interval) {
        ++held_back_;
        return std::nullopt;
    }
    last_report_ = now;
    std::string text = error;
    if (held_back_ > 0) {
        text += " (" + std::to_string(held_back_) + " more like this in the last " +
                std::to_string(k_interval.count()) + " s)";
        held_back_ = 0;
    }
    return text;
}

void set_format_error_hook(format_error_hook_t hook) {
    g_format_error_hook.store(hook);
}

format_error_hook_t format_error_hook() {
    return g_format_error_hook.load();
}

}  // namespace utils
