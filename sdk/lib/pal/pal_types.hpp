// Types shared by the platform access layer's operation table and backends.
#pragma once

#include <cstdint>

namespace sdk::types {
// Data-path memory layout handed to backend initialisers; no backend reads it.
struct dp_mem_layout_s;
}  // namespace sdk::types

namespace sdk::platform {

using platform_type_t = uint32_t;

inline constexpr platform_type_t PLATFORM_TYPE_NONE = 0;
// Reached only through the JTAG adapter.
inline constexpr platform_type_t PLATFORM_TYPE_REMOTE = 1;
// Software running on the card itself.
inline constexpr platform_type_t PLATFORM_TYPE_HW = 2;
inline constexpr platform_type_t PLATFORM_TYPE_HW_ALT = 3;
// Host x86-64 server reaching the card over PCIe.
inline constexpr platform_type_t PLATFORM_TYPE_X86_64 = 7;

}  // namespace sdk::platform

namespace sdk::lib {

// 0 is success; every other value is a failure.
using pal_ret_t = uint32_t;
inline constexpr pal_ret_t PAL_RET_OK = 0;
inline constexpr pal_ret_t PAL_RET_NOK = 1;

// Page of a QSFP module's memory map.
using qsfp_page_t = uint32_t;
inline constexpr qsfp_page_t QSFP_PAGE_LOW = 0;
inline constexpr qsfp_page_t QSFP_PAGE_HIGH0 = 1;
inline constexpr qsfp_page_t QSFP_PAGE_HIGH3 = 3;

enum pal_led_color_t : uint32_t {
    LED_COLOR_NONE = 0,
    LED_COLOR_GREEN = 1,
    LED_COLOR_YELLOW = 2,
};

enum pal_led_frequency_t : uint32_t {
    LED_FREQ_0HZ = 0,
    LED_FREQ_1HZ = 1,
    LED_FREQ_2HZ = 2,
    LED_FREQ_4HZ = 3,
};

// Recording/replay control request (operation codes in pal_rw_dump.hpp).
struct pal_reg_rw_ctrl_s {
    int32_t op;
    const char* arg;  // directory for the init operations, section or label otherwise
    const char* fmt;  // capture format for replay init; "txt" selects text
};

}  // namespace sdk::lib
