#include "sdk/platform/pal/include/card_cmd.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nic_ipc/nic_ipc.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"
#include "sdk/platform/pal/include/card_cmd_wire.hpp"
#include "sdk/platform/pal/include/palx86.hpp"
#include "sdk/platform/pal/include/locks.hpp"

using namespace pal_card_wire;
using ipc_wire::get_le;
using ipc_wire::put_le;

namespace {

constexpr int k_send_open_failed = -2;
constexpr int k_send_failed = -71;  // -EPROTO
constexpr int k_fru_size_refused = -5;
constexpr int k_log_err = 1;

// The thread's channel; closed when the thread ends.
struct thread_channel_s {
    nic_ipc_channel channel;
    bool open = false;
};
thread_local thread_channel_s t_channel;

int channel_open() {
    const char* hub = std::getenv("HUB_BDF");
    std::string card = hub != nullptr ? hub : palx86_get_ctx().card_id;
    int rc = t_channel.channel.open(card.c_str());
    t_channel.open = rc == 0;
    return rc;
}

// pal_ipc_send_cmd plus the check that the response holds `min_rsp` bytes.
int send_checked(uint32_t ep, uint32_t op, uint8_t* buf, size_t req_len, size_t rsp_len,
                 size_t min_rsp, int* err) {
    int rc = pal_ipc_send_cmd(ep, op, buf, req_len, rsp_len, err);
    if (rc >= 0 && static_cast<size_t>(rc) < min_rsp) {
        pal_log(k_log_err, "ipc send cmd short response ep:%d opcode:0x%x len:%d need:%zu",
                static_cast<int>(ep), op, rc, min_rsp);
        *err = EIO;
        return k_send_failed;
    }
    return rc;
}

// ---- endpoint 6 ---------------------------------------------------------------

struct cpld_answer_s {
    uint32_t status = 0;
    uint32_t value = 0;
    uint8_t reg = 0;
};

// One CPLD command; 0 with the answer, or the negative send result.
int cpld_exchange(uint32_t op, std::array<uint8_t, k_cpld_arg_count> args, cpld_answer_s* answer) {
    std::array<uint8_t, k_cpld_buf_size> buf{};
    std::memcpy(buf.data() + k_cpld_arg_off, args.data(), args.size());
    int err = 0;
    int rc = send_checked(k_ep_cpld, op, buf.data(), k_cpld_req_len, k_cpld_rsp_len,
                          k_cpld_value_off + 4, &err);
    if (rc < 0) {
        pal_log(k_log_err, "pal ipc send cpld command failed to send err:%d", err);
        return rc;
    }
    answer->status = get_le<uint32_t>(buf.data() + k_cpld_status_off);
    answer->value = get_le<uint32_t>(buf.data() + k_cpld_value_off);
    answer->reg = buf[k_cpld_reg_off];
    return 0;
}

// Negated in unsigned arithmetic: a status of 0x80000000 has no positive
// int, and its negation is INT_MIN, which is what the caller gets.
int neg_status(uint32_t status) { return static_cast<int>(0U - status); }

// A command whose result is -status.
int cpld_control(uint32_t op, std::array<uint8_t, k_cpld_arg_count> args) {
    cpld_answer_s a;
    int rc = cpld_exchange(op, args, &a);
    return rc < 0 ? rc : neg_status(a.status);
}

// A query whose result is -status and whose value goes to *out.
int cpld_query(uint32_t op, int* out) {
    cpld_answer_s a;
    int rc = cpld_exchange(op, {}, &a);
    if (rc < 0) {
        return rc;
    }
    if (a.status == 0 && out != nullptr) {
        *out = static_cast<int>(a.value);
    }
    return neg_status(a.status);
}

// The reset queries: the value, or -status.
int reset_query(uint32_t op) {
    std::array<uint8_t, k_cpld_buf_size> buf{};
    int err = 0;
    int rc = send_checked(k_ep_cpld, op, buf.data(), k_cpld_req_len, k_cpld_rsp_len,
                          k_cpld_value_off + 4, &err);
    if (rc < 0) {
        pal_log(k_log_err, "failed to GET_RESET_CAUSE command, err:%u", static_cast<unsigned>(err));
        return rc;
    }
    uint32_t status = get_le<uint32_t>(buf.data() + k_cpld_status_off);
    return status != 0 ? neg_status(status)
                       : static_cast<int>(get_le<uint32_t>(buf.data() + k_cpld_value_off));
}

int sensor_read(uint32_t op, int* out) {
    std::array<uint8_t, k_sensor_rsp_len> buf{};
    int err = 0;
    int rc = send_checked(k_ep_cpld, op, buf.data(), k_sensor_req_len, k_sensor_rsp_len,
                          k_sensor_rsp_len, &err);
    if (rc < 0) {
        pal_log(k_log_err, "pal ipc send sensor command failed to send err:%d", err);
        return rc;
    }
    uint32_t status = get_le<uint32_t>(buf.data() + k_sensor_status_off);
    if (status == 0 && out != nullptr) {
        *out = static_cast<int>(get_le<uint32_t>(buf.data() + k_sensor_value_off));
    }
    return neg_status(status);
}

// ---- endpoint 7 ---------------------------------------------------------------

using qsfp_buf_t = std::array<uint8_t, k_qsfp_buf_size>;

qsfp_buf_t qsfp_request(int port) {
    qsfp_buf_t buf{};
    put_le<uint32_t>(buf.data() + k_qsfp_port_off, static_cast<uint32_t>(port));
    return buf;
}

// One QSFP command answered with status and value; 0 or the send result.
int qsfp_exchange(uint32_t op, qsfp_buf_t* buf, uint32_t* status, uint32_t* value) {
    int err = 0;
    int rc = send_checked(k_ep_qsfp, op, buf->data(), k_qsfp_req_len, k_qsfp_rsp_len,
                          k_qsfp_query_rsp_len, &err);
    if (rc < 0) {
        pal_log(k_log_err, "pal ipc send qsfp command failed to send err:%d", err);
        return rc;
    }
    *status = get_le<uint32_t>(buf->data() + k_qsfp_status_off);
    *value = get_le<uint32_t>(buf->data() + k_qsfp_value_off);
    return 0;
}

// status != 0 -> -status, else the value.
int qsfp_query(uint32_t op, int port) {
    qsfp_buf_t buf = qsfp_request(port);
    uint32_t status = 0, value = 0;
    int rc = qsfp_exchange(op, &buf, &status, &value);
    if (rc < 0) {
        return rc;
    }
    return status != 0 ? neg_status(status) : static_cast<int>(value);
}

// -status, with up to two byte arguments.
int qsfp_control(uint32_t op, int port, uint8_t arg1, uint8_t arg2) {
    qsfp_buf_t buf = qsfp_request(port);
    buf[k_qsfp_arg1_off] = arg1;
    buf[k_qsfp_arg2_off] = arg2;
    uint32_t status = 0, value = 0;
    int rc = qsfp_exchange(op, &buf, &status, &value);
    return rc < 0 ? rc : neg_status(status);
}

int qsfp_read_paged(uint32_t op, const char* what, uint8_t* buf, uint32_t size, uint32_t offset,
                    uint32_t retries, int port) {
    auto refuse = [&](uint32_t status) {
        if (size > 0) {
            std::memset(buf, 0xFF, size);
        }
        return static_cast<int>(status);
    };
    if (offset > k_qsfp_image_size || size > k_qsfp_image_size - offset) {
        pal_log(k_log_err, "pal ipc qsfp %s offset %u size %u exceeds the %u byte module image",
                what, offset, size, k_qsfp_image_size);
        return refuse(k_qsfp_status_bad_request);
    }
    uint32_t received = 0;
    for (;;) {
        qsfp_buf_t req = qsfp_request(port);
        put_le<uint32_t>(req.data() + k_qsfp_progress_off, received);
        put_le<uint32_t>(req.data() + k_qsfp_offset_off, offset);
        put_le<uint32_t>(req.data() + k_qsfp_size_off, size);
        put_le<uint32_t>(req.data() + k_qsfp_retries_off, retries);
        int err = 0;
        int rc = send_checked(k_ep_qsfp, op, req.data(), k_qsfp_req_len, k_qsfp_rsp_len,
                              k_qsfp_data_off, &err);
        if (rc < 0) {
            pal_log(k_log_err, "pal ipc qsfp %s command failed to send err:%d", what, err);
            return rc;
        }
        const uint32_t status = get_le<uint32_t>(req.data() + k_qsfp_status_off);
        if (status > k_qsfp_status_more) {
            return refuse(status);
        }
        // Never more than the firmware sent, one response holds, or fits.
        size_t got = static_cast<size_t>(rc) - k_qsfp_data_off;
        if (got > k_qsfp_max_chunk) {
            got = k_qsfp_max_chunk;
        }
        if (got > size - received) {
            got = size - received;
        }
        if (got > 0) {
            std::memcpy(buf + received, req.data() + k_qsfp_data_off, got);
        }
        received += static_cast<uint32_t>(got);
        if (received == size) {
            return static_cast<int>(k_qsfp_status_done);
        }
        if (status != k_qsfp_status_more || got == 0) {
            pal_log(k_log_err, "pal ipc qsfp %s ended after %u of %u bytes", what, received, size);
            return refuse(k_qsfp_status_incomplete);
        }
    }
}

}  // namespace

int pal_ipc_send_cmd(uint32_t ep, uint32_t op, uint8_t* buf, size_t req_len, size_t rsp_len,
                     int* err) {
    *err = 0;
    if (!t_channel.open) {
        int rc = channel_open();
        if (rc != 0) {
            pal_log(k_log_err, "pal ipc open failed");
            *err = rc;
            return k_send_open_failed;
        }
    }
    uint32_t status = 0;
    int rc = nic_ipc_req_rsp(t_channel.channel.get(), ep, op, buf, req_len, rsp_len, &status);
    if (rc < 0) {
        *err = errno;
    } else if (status != 0) {
        *err = static_cast<int>(status);
    } else {
        return rc;
    }
    pal_log(k_log_err, "ipc send cmd failed ep:%d opcode:0x%x err:%d", static_cast<int>(ep), op,
            *err);
    return k_send_failed;
}

int pal_ipc_c_fru_read(uint8_t* buf, uint32_t size, uint32_t offset) {
    if (size > k_fru_window) {
        pal_log(k_log_err, "pal ipc fru read size exceeds mac fru size:%d",
                static_cast<int>(k_fru_window));
        return k_fru_size_refused;
    }
    std::array<uint8_t, k_fru_rsp_len> rsp{};
    put_le<uint32_t>(rsp.data() + k_fru_offset_off, offset);
    int err = 0;
    int rc = send_checked(k_ep_cpld, k_op_fru_read, rsp.data(), k_fru_req_len, k_fru_rsp_len,
                          k_fru_data_off + size, &err);
    if (rc < 0) {
        pal_log(k_log_err, "pal ipc fru read command failed to send err:%d", err);
        return rc;
    }
    uint32_t status = get_le<uint32_t>(rsp.data() + k_fru_status_off);
    if (size == 0) {
        return neg_status(status);
    }
    if (status != 0) {
        std::memset(buf, 0xFF, size);
        return neg_status(status);
    }
    std::memcpy(buf, rsp.data() + k_fru_data_off, size);
    return 0;
}

int pal_ipc_c_get_system_led() {
    cpld_answer_s a;
    int rc = cpld_exchange(k_op_get_system_led, {}, &a);
    if (rc < 0) {
        return rc;
    }
    return a.status != 0 ? neg_status(a.status) : static_cast<int>(a.value);
}

int pal_ipc_c_system_set_led(uint8_t a, uint8_t b) { return cpld_control(k_op_system_set_led, {a, b, 0, 0}); }
int pal_ipc_c_cpld_set_card_status(uint8_t s) { return cpld_control(k_op_cpld_set_card_status, {s, 0, 0, 0}); }
int pal_ipc_c_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return cpld_control(k_op_write_fw_ver_to_cpld, {a, b, c, d});
}
int pal_ipc_c_cpld_rev(int* out) { return cpld_query(k_op_cpld_rev, out); }
int pal_ipc_c_cpld_id(int* out) { return cpld_query(k_op_cpld_id, out); }
int pal_ipc_c_cpld_minor_rev(int* out) { return cpld_query(k_op_cpld_minor_rev, out); }
int pal_ipc_c_cpld_boot_status(int* out) { return cpld_query(k_op_cpld_boot_status, out); }
int pal_ipc_c_get_rstcause() { return reset_query(k_op_get_rstcause); }
int pal_ipc_c_get_rst_event() { return reset_query(k_op_get_rst_event); }

int pal_ipc_get_cpld_reg(uint8_t reg, uint8_t* out) {
    cpld_answer_s a;
    int rc = cpld_exchange(k_op_get_cpld_reg, {reg, 0, 0, 0}, &a);
    if (rc < 0) {
        return rc;
    }
    if (a.status == 0 && out != nullptr) {
        *out = a.reg;
    }
    return neg_status(a.status);
}

int pal_ipc_set_cpld_reg(uint8_t reg, uint8_t value) {
    return cpld_control(k_op_set_cpld_reg, {reg, value, 0, 0});
}

int pal_ipc_c_fwsel(uint32_t selector) {
    std::array<uint8_t, k_fwsel_rsp_len> buf{};
    put_le<uint32_t>(buf.data() + k_fwsel_selector_off, selector);
    int err = 0;
    int rc = send_checked(k_ep_cpld, k_op_fwsel, buf.data(), k_fwsel_req_len, k_fwsel_rsp_len,
                          k_fwsel_status_off + 4, &err);
    if (rc < 0) {
        pal_log(k_log_err, "pal ipc send cpld command failed to send err:%d", err);
        return rc;
    }
    return neg_status(get_le<uint32_t>(buf.data() + k_fwsel_status_off));
}

int pal_ipc_c_read_pin(int* out) { return sensor_read(k_op_read_pin, out); }
int pal_ipc_c_read_pout1(int* out) { return sensor_read(k_op_read_pout1, out); }
int pal_ipc_c_read_pout2(int* out) { return sensor_read(k_op_read_pout2, out); }
int pal_ipc_c_read_vin(int* out) { return sensor_read(k_op_read_vin, out); }
int pal_ipc_c_read_vout1(int* out) { return sensor_read(k_op_read_vout1, out); }
int pal_ipc_c_read_vout2(int* out) { return sensor_read(k_op_read_vout2, out); }
int pal_ipc_c_read_board_temperature(int* out) { return sensor_read(k_op_read_board_temperature, out); }
int pal_ipc_c_read_die_temperature(int* out) { return sensor_read(k_op_read_die_temperature, out); }
int pal_ipc_c_read_hwtrip_temp(int* out) { return sensor_read(k_op_read_hwtrip_temp, out); }

int pal_ipc_c_is_qsfp_port_psnt(int port) { return qsfp_query(k_op_qsfp_psnt, port); }
int pal_ipc_c_is_qsfp_port_reset(int port) { return qsfp_query(k_op_qsfp_is_reset, port); }
int pal_ipc_c_qsfp_set_port(int port) { return qsfp_query(k_op_qsfp_set_port, port); }
int pal_ipc_c_qsfp_reset_port(int port) { return qsfp_query(k_op_qsfp_reset_port, port); }
int pal_ipc_c_qsfp_set_low_power_mode(int port) { return qsfp_query(k_op_qsfp_set_lpmode, port); }
int pal_ipc_c_qsfp_reset_low_power_mode(int port) { return qsfp_query(k_op_qsfp_reset_lpmode, port); }
int pal_ipc_c_qsfp_power_mode_en(int port, bool on) {
    return qsfp_query(on ? k_op_qsfp_power_on : k_op_qsfp_power_off, port);
}
int pal_ipc_c_is_qsfp_port_powered_up(int port) { return qsfp_query(k_op_qsfp_is_powered_up, port); }
int pal_ipc_c_is_qsfp_port_power_failure(int port) { return qsfp_query(k_op_qsfp_power_failure, port); }
int pal_ipc_c_is_qsfp_port_power_ctrl_present(int port) {
    return qsfp_query(k_op_qsfp_power_ctrl_present, port);
}
int pal_ipc_c_is_qsfp_presence_intr_pending(int port) { return qsfp_query(k_op_qsfp_intr_pending, port); }
int pal_ipc_c_qsfp_presence_intr_clear(int port) { return qsfp_query(k_op_qsfp_intr_clear, port); }

int pal_ipc_c_qsfp_set_led(int port, uint8_t colour, uint8_t frequency) {
    return qsfp_control(k_op_qsfp_set_led, port, colour, frequency);
}
int pal_ipc_c_write_qsfp_temp(uint8_t temperature, int port) {
    return qsfp_control(k_op_qsfp_write_temp, port, temperature, 0);
}
int pal_ipc_c_qsfp_set_port_link_status(int port, uint8_t status) {
    return qsfp_control(k_op_qsfp_set_link_status, port, status, 0);
}

int pal_ipc_c_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port) {
    return qsfp_read_paged(k_op_qsfp_read, "read", buf, size, offset, retries, port);
}

int pal_ipc_c_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries,
                            int port) {
    return qsfp_read_paged(k_op_qsfp_dom_read, "dom read", buf, size, offset, retries, port);
}

int pal_ipc_c_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries,
                         int port) {
    if (size > k_qsfp_max_write) {
        pal_log(k_log_err, "pal ipc qsfp write size %u exceeds %zu bytes", size, k_qsfp_max_write);
        return static_cast<int>(k_qsfp_status_bad_request);
    }
    qsfp_buf_t req = qsfp_request(port);
    put_le<uint32_t>(req.data() + k_qsfp_offset_off, offset);
    put_le<uint32_t>(req.data() + k_qsfp_size_off, size);
    put_le<uint32_t>(req.data() + k_qsfp_retries_off, retries);
    if (size > 0) {
        std::memcpy(req.data() + k_qsfp_wdata_off, buf, size);
    }
    int err = 0;
    int rc = send_checked(k_ep_qsfp, k_op_qsfp_write, req.data(), k_qsfp_req_len, k_qsfp_rsp_len,
                          k_qsfp_status_off + 4, &err);
    if (rc < 0) {
        pal_log(k_log_err, "pal ipc qsfp write command failed to send err:%d", err);
        return rc;
    }
    return static_cast<int>(get_le<uint32_t>(req.data() + k_qsfp_status_off));
}
