// Platform functions for QSFP transceivers, the board controller (CPLD),
// the FRU and the reset reason, on top of the card-control commands; plus
// the operations that have no host implementation.
#pragma once

#include <cstdint>

#include "sdk/platform/pal/include/card_cmd.hpp"

// ---- forwarders to the card-control commands -------------------------------
int pal_is_qsfp_port_psnt(int port);
int pal_is_qsfp_port_reset(int port);
int pal_qsfp_set_port(int port);
int pal_qsfp_reset_port(int port);
int pal_is_qsfp_port_power_ctrl_present(int port);
int pal_is_qsfp_port_powered_up(int port);
int pal_is_qsfp_port_power_failure(int port);
int pal_qsfp_power_en(int port, bool on);
int pal_qsfp_set_low_power_mode(int port);
int pal_qsfp_reset_low_power_mode(int port);
int pal_is_qsfp_presence_intr_pending(int port);
int pal_qsfp_presence_intr_clear(int port);
int pal_qsfp_set_led(int port, uint8_t colour, uint8_t frequency);
int pal_system_set_led(uint8_t a, uint8_t b);
int pal_get_system_led();
int pal_cpld_set_card_status(uint8_t status);
int pal_cpld_set_port_link_status(int port, uint8_t status);
int pal_write_qsfp_temp(uint8_t temperature, int port);
int pal_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
int pal_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port);
int pal_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port);
int pal_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port);

// The CPLD's value fields; 0 when the command fails.
int pal_get_cpld_rev();
int pal_get_cpld_id();
int pal_get_cpld_minor_rev();
int pal_cpld_boot_status();

// True when the board controller identifies a TALON card (ids 101 and 103).
bool pal_is_talon_card();

// One 512-byte FRU window at `offset`: 0; -1 when size is not 512.
int pal_fru_read(uint8_t* buf, uint32_t size, uint32_t offset);

// ---- paged QSFP access -------------------------------------------------------
// The module's page-select byte is at offset 127; page 4 selects nothing.

// Selects the page (then waits 100 ms) and reads: 0, or -1 (size 0, failed
// page select or failed read).
int pal_qsfp_read_page(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page,
                       uint32_t retries, int port);
int pal_qsfp_write_page(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page,
                        uint32_t retries, int port);
// Selects the page, waits `delay_us`, then tries the read up to `retries`
// times with `delay_us` between failures: 0 on the first success, -1 when the
// page select or every attempt fails; with retries 0 nothing is read and the
// result is that of the page select (0 when page is 4).
int pal_qsfp_read_page_fast(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page,
                            uint32_t retries, int port, uint32_t delay_us);
// Writes {bank, page} at `offset` to port port_index + 1; with a read-back
// buffer, waits `delay_us` and reads the page-select byte into it.
int pal_qsfp_bank_page_sel(uint32_t offset, uint8_t bank, uint8_t page, uint32_t retries,
                           int port_index, uint32_t delay_us, uint8_t* readback);

// ---- reset reason -----------------------------------------------------------
// Reset event bits (a negative answer counts as 0).
uint32_t pal_get_reset_events();
// The reason index (0-22) of the highest-priority reset event bit set.
int pal_get_rst_reason();
const char* pal_get_rst_reason_descr(int reason);

// ---- operations without a host implementation: -1 ---------------------------
int pal_update_qsfp_led(int port, int state);
int pal_get_cpld_slot_id();
int pal_get_cpld_pca_rev();
int pal_cpld_erase();
int pal_cpld_read_flash(uint8_t* buf, uint32_t size);
int pal_cpld_write_flash(const uint8_t* buf, uint32_t size);
int pal_write_qsfp_alarm_temp(uint8_t temperature, int port);
int pal_write_qsfp_warning_temp(uint8_t temperature, int port);
int pal_enable_auxiliary_fan();
int pal_disable_auxiliary_fan();
int pal_puf_err_cnt();
int pal_cpld_write_feature_row(const uint8_t* buf, uint32_t size);
int pal_cpld_ufm3(uint8_t* buf, uint32_t size);
int pal_cpld_ps48_read_swi_csr(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_swi_csr(uint32_t addr, uint32_t value);
int pal_cpld_ps48_read_mes(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_mes(uint32_t addr, uint32_t value);
int pal_cpld_ps48_read_ncsi_hw_arb(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_ncsi_hw_arb(uint32_t addr, uint32_t value);
int pal_cpld_ps48_read_mac0_csr(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_mac0_csr(uint32_t addr, uint32_t value);
int pal_cpld_ps48_read_mac0(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_mac0(uint32_t addr, uint32_t value);
int pal_cpld_ps48_read_serdes(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_serdes(uint32_t addr, uint32_t value);
int pal_cpld_ps48_read_pc(uint32_t addr, uint32_t* value);
int pal_cpld_ps48_write_pc(uint32_t addr, uint32_t value);
int pal_cpld_get_sku_id();
int smbus_read(uint8_t addr, uint8_t reg, uint8_t* value);
int smbus_write(uint8_t addr, uint8_t reg, uint8_t value);
int pal_qsfp_mdio_read(uint16_t* data, uint32_t device, uint32_t reg, uint32_t retries, int port);
int pal_qsfp_mdio_write(uint16_t data, uint32_t device, uint32_t reg, uint32_t retries, int port);
int pal_qsfp_phy_read(uint16_t* data, uint32_t reg, uint32_t retries, int port);
int pal_qsfp_phy_write(uint16_t data, uint32_t reg, uint32_t retries, int port);
int pal_read_iin(int* out);
