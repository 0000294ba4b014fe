// Operations that the card firmware serves over the card IPC channel (QSFP
// transceiver control, board controller queries). The IPC command layer is
// not part of this build yet: each of these logs that the command is not
// available and returns a failure (false, 1 or -1; reads leave 0xFF bytes).
#pragma once

#include <cstdint>

#include "sdk/lib/pal/pal_types.hpp"

namespace sdk::lib {

bool pal_card_ctl_unavailable_status(int port);
pal_ret_t pal_card_ctl_unavailable_control(int port);
pal_ret_t pal_card_ctl_unavailable_power_en(int port, bool enable);
pal_ret_t pal_card_ctl_unavailable_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset,
                                             qsfp_page_t page, uint32_t nretry, uint32_t port);
pal_ret_t pal_card_ctl_unavailable_qsfp_write(const uint8_t* buffer, uint32_t size,
                                              uint32_t offset, qsfp_page_t page, uint32_t nretry,
                                              uint32_t port);
pal_ret_t pal_card_ctl_unavailable_qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t offset,
                                                 uint32_t nretry, uint32_t port);
pal_ret_t pal_card_ctl_unavailable_set_led(int port, pal_led_color_t color,
                                           pal_led_frequency_t frequency);
pal_ret_t pal_card_ctl_unavailable_mdio_read(uint16_t* data, uint32_t device, uint32_t reg,
                                             uint32_t nretry, uint32_t port);
pal_ret_t pal_card_ctl_unavailable_mdio_write(uint16_t data, uint32_t device, uint32_t reg,
                                              uint32_t nretry, uint32_t port);
pal_ret_t pal_card_ctl_unavailable_phy_read(uint16_t* data, uint32_t reg, uint32_t nretry,
                                            uint32_t port);
pal_ret_t pal_card_ctl_unavailable_phy_write(uint16_t data, uint32_t reg, uint32_t nretry,
                                             uint32_t port);
int pal_card_ctl_unavailable_query();
int pal_card_ctl_unavailable_write_temp(uint32_t temperature, uint32_t port);

}  // namespace sdk::lib
