// Pattern flag %Q: the boot number the logger read when it was created.
#pragma once

#include <spdlog/pattern_formatter.h>

#include <cstdint>
#include <memory>
#include <string>

namespace utils {

class boot_number_flag final : public spdlog::custom_flag_formatter {
public:
    explicit boot_number_flag(int32_t boot_count) : boot_count_(boot_count) {}

    void format(const spdlog::details::log_msg &, const std::tm &, spdlog::memory_buf_t &dest) override;
    std::unique_ptr<custom_flag_formatter> clone() const override;

private:
    int32_t boot_count_;
};

// A local-time pattern formatter for `pattern` that knows %Q, with the boot
// number read now.
std::unique_ptr<spdlog::pattern_formatter> make_pattern_formatter(const std::string &pattern);

}  // namespace utils
