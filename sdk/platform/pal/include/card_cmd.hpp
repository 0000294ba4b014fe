// Card-control commands carried to the card firmware over the card IPC
// channel. Each thread exchanges on its own channel, opened on its first
// command for the card named by HUB_BDF or, when that is unset, for the card
// of the thread's host context.
#pragma once

#include <cstddef>
#include <cstdint>

// One exchange on the thread's channel: buf carries the request (req_len
// bytes) and receives the response (at most rsp_len bytes). Returns the
// response length (>= 0); -2 when the channel cannot be opened (*err: the
// open result); -71 when the exchange fails (*err: the errno, or the
// transport status the card IPC layer reported). Success leaves *err 0.
int pal_ipc_send_cmd(uint32_t ep, uint32_t op, uint8_t* buf, size_t req_len, size_t rsp_len,
                     int* err);

// Results: a failed exchange gives the negative result of pal_ipc_send_cmd;
// "-status" commands give 0 or the negated firmware status; "out" arguments
// are written only when the firmware status is 0. A response too short for
// its fields counts as a failed exchange.

// Copies `size` (at most 512) bytes of the FRU at `offset`: 0; -5 for a size
// above 512; a firmware failure fills buf with 0xFF and gives -status.
int pal_ipc_c_fru_read(uint8_t* buf, uint32_t size, uint32_t offset);
int pal_ipc_c_get_system_led();  // value, or -status
int pal_ipc_c_system_set_led(uint8_t a, uint8_t b);
int pal_ipc_c_cpld_set_card_status(uint8_t status);
int pal_ipc_c_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
int pal_ipc_c_cpld_rev(int* out);
int pal_ipc_c_cpld_id(int* out);
int pal_ipc_c_cpld_minor_rev(int* out);
int pal_ipc_c_cpld_boot_status(int* out);
int pal_ipc_c_get_rstcause();   // value, or -status
int pal_ipc_c_get_rst_event();  // reset event bits, or -status
int pal_ipc_get_cpld_reg(uint8_t reg, uint8_t* out);
int pal_ipc_set_cpld_reg(uint8_t reg, uint8_t value);
int pal_ipc_c_fwsel(uint32_t selector);
int pal_ipc_c_read_pin(int* out);
int pal_ipc_c_read_pout1(int* out);
int pal_ipc_c_read_pout2(int* out);
int pal_ipc_c_read_vin(int* out);
int pal_ipc_c_read_vout1(int* out);
int pal_ipc_c_read_vout2(int* out);
int pal_ipc_c_read_board_temperature(int* out);
int pal_ipc_c_read_die_temperature(int* out);
int pal_ipc_c_read_hwtrip_temp(int* out);

// QSFP queries and controls: -status when the firmware status is not 0,
// else the value it answered.
int pal_ipc_c_is_qsfp_port_psnt(int port);
int pal_ipc_c_is_qsfp_port_reset(int port);
int pal_ipc_c_qsfp_set_port(int port);
int pal_ipc_c_qsfp_reset_port(int port);
int pal_ipc_c_qsfp_set_low_power_mode(int port);
int pal_ipc_c_qsfp_reset_low_power_mode(int port);
int pal_ipc_c_qsfp_power_mode_en(int port, bool on);
int pal_ipc_c_is_qsfp_port_powered_up(int port);
int pal_ipc_c_is_qsfp_port_power_failure(int port);
int pal_ipc_c_is_qsfp_port_power_ctrl_present(int port);
int pal_ipc_c_is_qsfp_presence_intr_pending(int port);
int pal_ipc_c_qsfp_presence_intr_clear(int port);
int pal_ipc_c_qsfp_set_led(int port, uint8_t colour, uint8_t frequency);  // -status
int pal_ipc_c_write_qsfp_temp(uint8_t temperature, int port);             // -status
int pal_ipc_c_qsfp_set_port_link_status(int port, uint8_t status);        // -status

// QSFP transfers: the final firmware status (0 done); a failed exchange its
// negative result. Reads refuse offset + size beyond the 256-byte module
// image with 3 and assemble the answer across "more data follows"
// responses; a status above 1 (or an answer that ends early, 4) leaves the
// whole buffer 0xFF. Writes refuse more than 212 bytes with 3 unsent.
int pal_ipc_c_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port);
int pal_ipc_c_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries,
                            int port);
int pal_ipc_c_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries,
                         int port);
