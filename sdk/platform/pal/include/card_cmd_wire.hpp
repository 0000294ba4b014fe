// Wire layouts of the card-control commands the card firmware serves over
// the card IPC channel: board controller (CPLD), board sensors, FRU and
// firmware select on one endpoint, QSFP transceiver control on another.
// Buffers are plain byte arrays; every field is read and written through
// ipc_wire::get_le/put_le at the offsets below (little-endian, 32-bit unless
// noted as a byte).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pal_card_wire {

inline constexpr uint32_t k_ep_cpld = 6;
inline constexpr uint32_t k_ep_qsfp = 7;

// ---- endpoint 6: CPLD, sensors, FRU, firmware select ----------------------
enum cpld_op_e : uint32_t {
    k_op_fru_read = 0x10001,
    k_op_get_system_led = 0x10002,
    k_op_system_set_led = 0x10003,
    k_op_cpld_set_card_status = 0x10004,
    k_op_write_fw_ver_to_cpld = 0x10005,
    k_op_cpld_rev = 0x10006,
    k_op_cpld_id = 0x10007,
    k_op_cpld_minor_rev = 0x10008,
    k_op_cpld_boot_status = 0x10009,
    k_op_get_rstcause = 0x1000a,
    k_op_get_rst_event = 0x1000b,
    k_op_get_cpld_reg = 0x1000c,
    k_op_set_cpld_reg = 0x1000d,
    k_op_fwsel = 0x1000e,
    k_op_read_pin = 0x1000f,
    k_op_read_pout1 = 0x10010,
    k_op_read_pout2 = 0x10011,
    k_op_read_vin = 0x10012,
    k_op_read_vout1 = 0x10013,
    k_op_read_vout2 = 0x10014,
    k_op_read_board_temperature = 0x10015,
    k_op_read_die_temperature = 0x10016,
    k_op_read_hwtrip_temp = 0x10017,
};
inline constexpr uint32_t k_op_first_sensor = k_op_read_pin;
inline constexpr uint32_t k_op_last_sensor = k_op_read_hwtrip_temp;
inline constexpr size_t k_sensor_count = k_op_last_sensor - k_op_first_sensor + 1;

// CPLD command buffer.
inline constexpr size_t k_cpld_buf_size = 16;
inline constexpr size_t k_cpld_req_len = 12;
inline constexpr size_t k_cpld_rsp_len = 16;
inline constexpr size_t k_cpld_status_off = 0;  // request: 0; response: status
inline constexpr size_t k_cpld_arg_off = 4;     // request: byte arguments 1-4
inline constexpr size_t k_cpld_arg_count = 4;
inline constexpr size_t k_cpld_value_off = 8;   // response: value
inline constexpr size_t k_cpld_reg_off = 9;     // response: register byte
static_assert(k_cpld_arg_off + k_cpld_arg_count <= k_cpld_value_off);
static_assert(k_cpld_value_off + 4 <= k_cpld_req_len);
static_assert(k_cpld_req_len <= k_cpld_buf_size && k_cpld_rsp_len <= k_cpld_buf_size);

// Sensor commands: empty request, status and value.
inline constexpr size_t k_sensor_req_len = 0;
inline constexpr size_t k_sensor_rsp_len = 12;
inline constexpr size_t k_sensor_status_off = 0;
inline constexpr size_t k_sensor_value_off = 8;
static_assert(k_sensor_value_off + 4 == k_sensor_rsp_len);

// FRU read: offset in, status and one 512-byte window out.
inline constexpr size_t k_fru_req_len = 4;
inline constexpr size_t k_fru_offset_off = 0;
inline constexpr size_t k_fru_status_off = 0;
inline constexpr size_t k_fru_data_off = 4;
inline constexpr size_t k_fru_window = 512;
inline constexpr size_t k_fru_rsp_len = k_fru_data_off + k_fru_window;
static_assert(k_fru_rsp_len == 516);

// Firmware select: selector in, status out.
inline constexpr size_t k_fwsel_req_len = 4;
inline constexpr size_t k_fwsel_rsp_len = 8;
inline constexpr size_t k_fwsel_selector_off = 0;
inline constexpr size_t k_fwsel_status_off = 0;

// ---- endpoint 7: QSFP ------------------------------------------------------
enum qsfp_op_e : uint32_t {
    k_op_qsfp_psnt = 0x10001,
    k_op_qsfp_is_reset = 0x10002,
    k_op_qsfp_set_port = 0x10003,
    k_op_qsfp_reset_port = 0x10004,
    k_op_qsfp_set_lpmode = 0x10005,
    k_op_qsfp_reset_lpmode = 0x10006,
    k_op_qsfp_set_led = 0x10007,
    k_op_qsfp_read = 0x10008,
    k_op_qsfp_write = 0x10009,
    k_op_qsfp_dom_read = 0x1000a,
    k_op_qsfp_write_temp = 0x1000b,
    k_op_qsfp_set_link_status = 0x1000c,
    k_op_qsfp_power_on = 0x1000d,
    k_op_qsfp_power_off = 0x1000e,
    k_op_qsfp_is_powered_up = 0x1000f,
    k_op_qsfp_power_failure = 0x10010,
    k_op_qsfp_power_ctrl_present = 0x10011,
    k_op_qsfp_intr_pending = 0x10012,
    k_op_qsfp_intr_clear = 0x10013,
};

// QSFP command buffer.
inline constexpr size_t k_qsfp_buf_size = 520;
inline constexpr size_t k_qsfp_req_len = 240;
inline constexpr size_t k_qsfp_rsp_len = 520;
inline constexpr size_t k_qsfp_progress_off = 0;  // request (reads): bytes already received
inline constexpr size_t k_qsfp_status_off = 0;    // response: status
inline constexpr size_t k_qsfp_port_off = 4;
inline constexpr size_t k_qsfp_value_off = 8;     // response: value (queries)
inline constexpr size_t k_qsfp_data_off = 8;      // response: data bytes (reads)
inline constexpr size_t k_qsfp_offset_off = 12;
inline constexpr size_t k_qsfp_size_off = 20;
inline constexpr size_t k_qsfp_retries_off = 24;
inline constexpr size_t k_qsfp_arg1_off = 28;     // byte: temperature, colour, link status
inline constexpr size_t k_qsfp_wdata_off = 28;    // write data
inline constexpr size_t k_qsfp_arg2_off = 29;     // byte: LED frequency
inline constexpr size_t k_qsfp_max_chunk = 512;   // data bytes in one read response
inline constexpr size_t k_qsfp_max_write = 212;   // data bytes in one write request
inline constexpr size_t k_qsfp_query_rsp_len = k_qsfp_value_off + 4;
static_assert(k_qsfp_wdata_off + k_qsfp_max_write == k_qsfp_req_len);
static_assert(k_qsfp_data_off + k_qsfp_max_chunk == k_qsfp_rsp_len);
static_assert(k_qsfp_rsp_len <= k_qsfp_buf_size && k_qsfp_req_len <= k_qsfp_buf_size);
static_assert(k_qsfp_retries_off + 4 <= k_qsfp_arg1_off);

// QSFP response status.
inline constexpr uint32_t k_qsfp_status_done = 0;
inline constexpr uint32_t k_qsfp_status_more = 1;         // reads: more data follows
inline constexpr uint32_t k_qsfp_status_failed = 2;       // the module did not answer
inline constexpr uint32_t k_qsfp_status_bad_request = 3;  // size or range refused
// Host side only: the firmware ended a read before all bytes were in.
inline constexpr uint32_t k_qsfp_status_incomplete = 4;

// The module memory a read or write reaches: one 256-byte image; the
// page-select byte sits at offset 127, and page 4 means "no page select".
inline constexpr uint32_t k_qsfp_image_size = 256;
inline constexpr uint32_t k_qsfp_page_select_off = 127;
inline constexpr uint32_t k_qsfp_no_page = 4;

}  // namespace pal_card_wire
