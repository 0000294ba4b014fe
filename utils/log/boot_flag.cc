#include "utils/log/boot_flag.hpp"

#include "utils/log/boot_count.hpp"

#include <spdlog/details/fmt_helper.h>

namespace utils {

void boot_number_flag::format(const spdlog::details::log_msg &, const std::tm &, spdlog::memory_buf_t &dest) {
    spdlog::details::fmt_helper::append_int(static_cast<uint32_t>(boot_count_), dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> boot_number_flag::clone() const {
    return std::make_unique<boot_number_flag>(boot_count_);
}

std::unique_ptr<spdlog::pattern_formatter> make_pattern_formatter(const std::string &pattern) {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local);
    formatter->add_flag<boot_number_flag>('Q', boot_count_get());
    formatter->set_pattern(pattern);
    return formatter;
}

}  // namespace utils
