#include "sdk/lib/pal/pal_card_ctl.hpp"

#include <cstring>

#include "logger/logger.hpp"

namespace sdk::lib {

namespace {

void pal_card_ctl_report(const char* what) {
    LOGGER_ERR("PAL card-control command %s is not available: no card IPC command layer", what);
}

}  // namespace

bool pal_card_ctl_unavailable_status(int) {
    pal_card_ctl_report("qsfp status query");
    return false;
}

pal_ret_t pal_card_ctl_unavailable_control(int) {
    pal_card_ctl_report("qsfp control");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_power_en(int, bool) {
    pal_card_ctl_report("qsfp power enable");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t,
                                             qsfp_page_t, uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp read");
    if (buffer != nullptr) {
        memset(buffer, 0xFF, size);
    }
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_qsfp_write(const uint8_t*, uint32_t, uint32_t, qsfp_page_t,
                                              uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp write");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t,
                                                 uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp dom read");
    if (buffer != nullptr) {
        memset(buffer, 0xFF, size);
    }
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_set_led(int, pal_led_color_t, pal_led_frequency_t) {
    pal_card_ctl_report("qsfp set led");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_mdio_read(uint16_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp mdio read");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_mdio_write(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp mdio write");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_phy_read(uint16_t*, uint32_t, uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp phy read");
    return PAL_RET_NOK;
}

pal_ret_t pal_card_ctl_unavailable_phy_write(uint16_t, uint32_t, uint32_t, uint32_t) {
    pal_card_ctl_report("qsfp phy write");
    return PAL_RET_NOK;
}

int pal_card_ctl_unavailable_query() {
    pal_card_ctl_report("cpld query");
    return -1;
}

int pal_card_ctl_unavailable_write_temp(uint32_t, uint32_t) {
    pal_card_ctl_report("cpld write temperature");
    return -1;
}

}  // namespace sdk::lib
