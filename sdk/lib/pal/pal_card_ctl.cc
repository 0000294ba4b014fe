#include "sdk/lib/pal/pal_card_ctl.hpp"

#include <chrono>
#include <thread>

#include "logger/logger.hpp"
#include "sdk/platform/pal/include/card_ctl.hpp"
#include "sdk/platform/pal/include/card_cmd_wire.hpp"

namespace sdk::lib {

namespace {

using pal_card_wire::k_qsfp_no_page;
using pal_card_wire::k_qsfp_page_select_off;

constexpr auto k_page_select_settle = std::chrono::milliseconds(100);

pal_ret_t control_ret(int rc) { return rc != 0 ? PAL_RET_NOK : PAL_RET_OK; }

bool size_ok(const char* src, int line, const char* func, uint32_t size) {
    if (size == 0) {
        logger_trace(k_logger_pal_module_id, trace_level_err, "[%s:%d] %s size cannot be zero", src, line, func);
        return false;
    }
    return true;
}

// Writes the page byte before a transfer; a failure is logged and the
// transfer goes on.
bool select_page(const char* src, int line, qsfp_page_t page, uint32_t nretry, uint32_t port) {
    if (page == k_qsfp_no_page) {
        return false;
    }
    const uint8_t byte = static_cast<uint8_t>(page);
    int rc = ::pal_qsfp_write(&byte, 1, k_qsfp_page_select_off, nretry, static_cast<int>(port));
    if (rc != 0) {
        logger_trace(k_logger_pal_module_id, trace_level_debug, "[%s:%d] QSFP high page write failed %d", src, line,
                     rc);
    }
    std::this_thread::sleep_for(k_page_select_settle);
    return true;
}

void restore_page(const char* src, int line, uint32_t nretry, uint32_t port) {
    const uint8_t byte = static_cast<uint8_t>(k_qsfp_no_page);
    int rc = ::pal_qsfp_write(&byte, 1, k_qsfp_page_select_off, nretry, static_cast<int>(port));
    if (rc != 0) {
        logger_trace(k_logger_pal_module_id, trace_level_debug, "[%s:%d] QSFP low page write failed %d", src, line,
                     rc);
    }
}

}  // namespace

bool pal_card_ctl_is_qsfp_port_present(int port) { return ::pal_is_qsfp_port_psnt(port) > 0; }
bool pal_card_ctl_is_qsfp_port_reset(int port) { return ::pal_is_qsfp_port_reset(port) > 0; }
bool pal_card_ctl_is_qsfp_port_power_ctrl_present(int port) {
    return ::pal_is_qsfp_port_power_ctrl_present(port) > 0;
}
bool pal_card_ctl_is_qsfp_port_powered_up(int port) { return ::pal_is_qsfp_port_powered_up(port) > 0; }
bool pal_card_ctl_is_qsfp_port_power_failure(int port) {
    return ::pal_is_qsfp_port_power_failure(port) > 0;
}
bool pal_card_ctl_is_qsfp_presence_intr_pending(int port) {
    return ::pal_is_qsfp_presence_intr_pending(port) > 0;
}

pal_ret_t pal_card_ctl_qsfp_set_port(int port) { return control_ret(::pal_qsfp_set_port(port)); }
pal_ret_t pal_card_ctl_qsfp_reset_port(int port) { return control_ret(::pal_qsfp_reset_port(port)); }
pal_ret_t pal_card_ctl_qsfp_power_en(int port, bool enable) {
    return control_ret(::pal_qsfp_power_en(port, enable));
}
pal_ret_t pal_card_ctl_qsfp_set_low_power_mode(int port) {
    return control_ret(::pal_qsfp_set_low_power_mode(port));
}
pal_ret_t pal_card_ctl_qsfp_reset_low_power_mode(int port) {
    return control_ret(::pal_qsfp_reset_low_power_mode(port));
}
pal_ret_t pal_card_ctl_qsfp_presence_intr_clear(int port) {
    ::pal_qsfp_presence_intr_clear(port);
    return PAL_RET_OK;
}

int pal_card_ctl_get_cpld_rev() { return ::pal_get_cpld_rev(); }
int pal_card_ctl_get_cpld_id() { return ::pal_get_cpld_id(); }
int pal_card_ctl_get_system_led() { return ::pal_get_system_led(); }
int pal_card_ctl_get_rst_reason() { return ::pal_get_rst_reason(); }

pal_ret_t pal_card_ctl_qsfp_read(const char* src, int line, uint8_t* buffer, uint32_t size,
                                 uint32_t offset, qsfp_page_t page, uint32_t nretry,
                                 uint32_t port) {
    if (!size_ok(src, line, "pal_qsfp_read", size)) {
        return PAL_RET_NOK;
    }
    const bool paged = select_page(src, line, page, nretry, port);
    int rc = ::pal_qsfp_read(buffer, size, offset, nretry, static_cast<int>(port));
    if (paged) {
        restore_page(src, line, nretry, port);
    }
    return control_ret(rc);
}

pal_ret_t pal_card_ctl_qsfp_write(const char* src, int line, const uint8_t* buffer, uint32_t size,
                                  uint32_t offset, qsfp_page_t page, uint32_t nretry,
                                  uint32_t port) {
    if (!size_ok(src, line, "pal_qsfp_write", size)) {
        return PAL_RET_NOK;
    }
    const bool paged = select_page(src, line, page, nretry, port);
    int rc = ::pal_qsfp_write(buffer, size, offset, nretry, static_cast<int>(port));
    if (paged) {
        restore_page(src, line, nretry, port);
    }
    return control_ret(rc);
}

pal_ret_t pal_card_ctl_qsfp_dom_read(const char* src, int line, uint8_t* buffer, uint32_t size,
                                     uint32_t offset, uint32_t nretry, uint32_t port) {
    if (!size_ok(src, line, "pal_qsfp_dom_read", size)) {
        return PAL_RET_NOK;
    }
    return control_ret(::pal_qsfp_dom_read(buffer, size, offset, nretry, static_cast<int>(port)));
}

void pal_card_ctl_fill_slots(pal_rwvecs_s &v) {
    v.is_qsfp_port_present = pal_card_ctl_is_qsfp_port_present;
    v.is_qsfp_port_reset = pal_card_ctl_is_qsfp_port_reset;
    v.qsfp_set_port = pal_card_ctl_qsfp_set_port;
    v.qsfp_reset_port = pal_card_ctl_qsfp_reset_port;
    v.is_qsfp_port_power_ctrl_present = pal_card_ctl_is_qsfp_port_power_ctrl_present;
    v.is_qsfp_port_powered_up = pal_card_ctl_is_qsfp_port_powered_up;
    v.is_qsfp_port_power_failure = pal_card_ctl_is_qsfp_port_power_failure;
    v.is_qsfp_presence_intr_pending = pal_card_ctl_is_qsfp_presence_intr_pending;
    v.qsfp_presence_intr_clear = pal_card_ctl_qsfp_presence_intr_clear;
    v.qsfp_power_en = pal_card_ctl_qsfp_power_en;
    v.qsfp_set_low_power_mode = pal_card_ctl_qsfp_set_low_power_mode;
    v.qsfp_reset_low_power_mode = pal_card_ctl_qsfp_reset_low_power_mode;
    v.get_cpld_rev = pal_card_ctl_get_cpld_rev;
    v.get_cpld_id = pal_card_ctl_get_cpld_id;
    v.get_system_led = pal_card_ctl_get_system_led;
    v.get_rst_reason = pal_card_ctl_get_rst_reason;
}

}  // namespace sdk::lib
