// Operation-table slots for the QSFP and board-controller operations that
// the card firmware serves as card-control commands (shared by the host and
// on-card backends).
#pragma once

#include <cstdint>

#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_types.hpp"

namespace sdk::lib {

// Status queries: true when the command answers a value above 0.
bool pal_card_ctl_is_qsfp_port_present(int port);
bool pal_card_ctl_is_qsfp_port_reset(int port);
bool pal_card_ctl_is_qsfp_port_power_ctrl_present(int port);
bool pal_card_ctl_is_qsfp_port_powered_up(int port);
bool pal_card_ctl_is_qsfp_port_power_failure(int port);
bool pal_card_ctl_is_qsfp_presence_intr_pending(int port);

// Controls: PAL_RET_OK when the command answers 0, else PAL_RET_NOK.
pal_ret_t pal_card_ctl_qsfp_set_port(int port);
pal_ret_t pal_card_ctl_qsfp_reset_port(int port);
pal_ret_t pal_card_ctl_qsfp_power_en(int port, bool enable);
pal_ret_t pal_card_ctl_qsfp_set_low_power_mode(int port);
pal_ret_t pal_card_ctl_qsfp_reset_low_power_mode(int port);

// Points the QSFP status and control slots and the board-controller queries
// of a table at the commands above (the host and on-card backends share them).
void pal_card_ctl_fill_slots(pal_rwvecs_s &v);
// Clears the presence interrupt; always PAL_RET_OK.
pal_ret_t pal_card_ctl_qsfp_presence_intr_clear(int port);

// Values passed through.
int pal_card_ctl_get_cpld_rev();
int pal_card_ctl_get_cpld_id();
int pal_card_ctl_get_system_led();
int pal_card_ctl_get_rst_reason();

// Paged QSFP transfer for a backend's qsfp_read/qsfp_write slot: selects the
// page (unless it is 4), transfers, then puts the page-select byte back to 4.
// `src` names the backend's source file in its log lines. A size of 0 fails
// with PAL_RET_NOK; a failed page-select write is logged at debug level and
// the transfer goes on.
pal_ret_t pal_card_ctl_qsfp_read(const char* src, int line, uint8_t* buffer, uint32_t size,
                                 uint32_t offset, qsfp_page_t page, uint32_t nretry,
                                 uint32_t port);
pal_ret_t pal_card_ctl_qsfp_write(const char* src, int line, const uint8_t* buffer, uint32_t size,
                                  uint32_t offset, qsfp_page_t page, uint32_t nretry,
                                  uint32_t port);
pal_ret_t pal_card_ctl_qsfp_dom_read(const char* src, int line, uint8_t* buffer, uint32_t size,
                                     uint32_t offset, uint32_t nretry, uint32_t port);

}  // namespace sdk::lib
