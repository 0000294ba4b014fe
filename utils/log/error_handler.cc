#include "utils/log/error_handler.hpp"

#include <atomic>

namespace utils {

namespace {
std::atomic<format_error_hook_t> g_format_error_hook{nullptr};
}

void log_error_handler(const std::string &msg) {
    std::fprintf(stderr, "spdlog error: %s\n", msg.c_str());
}

void set_format_error_hook(format_error_hook_t hook) {
    g_format_error_hook.store(hook);
}

format_error_hook_t format_error_hook() {
    return g_format_error_hook.load();
}

}  // namespace utils
