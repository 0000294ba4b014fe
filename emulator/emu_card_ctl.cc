#include "emulator/emu_card_ctl.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "sdk/platform/ipcdrv/src/wire.hpp"

namespace talon_emu {

using namespace pal_card_wire;
using ipc_wire::get_le;
using ipc_wire::put_le;

namespace {

constexpr uint32_t k_transport_enotsup = 95;
constexpr uint32_t k_status_ok = 0;
constexpr uint32_t k_status_bad_request = k_qsfp_status_bad_request;
constexpr uint32_t k_fwsel_max = 1;  // main and fall-back image

struct ctl_cmd_def_s {
    const char *name;
    uint32_t ep;
    uint32_t op;
};

constexpr ctl_cmd_def_s k_ctl_cmds[] = {
    {"FRU_READ", k_ep_cpld, k_op_fru_read},
    {"GET_SYSTEM_LED", k_ep_cpld, k_op_get_system_led},
    {"SYSTEM_SET_LED", k_ep_cpld, k_op_system_set_led},
    {"CPLD_SET_CARD_STATUS", k_ep_cpld, k_op_cpld_set_card_status},
    {"WRITE_FW_VER_TO_CPLD", k_ep_cpld, k_op_write_fw_ver_to_cpld},
    {"CPLD_REV", k_ep_cpld, k_op_cpld_rev},
    {"CPLD_ID", k_ep_cpld, k_op_cpld_id},
    {"CPLD_MINOR_REV", k_ep_cpld, k_op_cpld_minor_rev},
    {"CPLD_BOOT_STATUS", k_ep_cpld, k_op_cpld_boot_status},
    {"GET_RSTCAUSE", k_ep_cpld, k_op_get_rstcause},
    {"GET_RST_EVENT", k_ep_cpld, k_op_get_rst_event},
    {"GET_CPLD_REG", k_ep_cpld, k_op_get_cpld_reg},
    {"SET_CPLD_REG", k_ep_cpld, k_op_set_cpld_reg},
    {"FWSEL", k_ep_cpld, k_op_fwsel},
    {"READ_PIN", k_ep_cpld, k_op_read_pin},
    {"READ_POUT1", k_ep_cpld, k_op_read_pout1},
    {"READ_POUT2", k_ep_cpld, k_op_read_pout2},
    {"READ_VIN", k_ep_cpld, k_op_read_vin},
    {"READ_VOUT1", k_ep_cpld, k_op_read_vout1},
    {"READ_VOUT2", k_ep_cpld, k_op_read_vout2},
    {"READ_BOARD_TEMPERATURE", k_ep_cpld, k_op_read_board_temperature},
    {"READ_DIE_TEMPERATURE", k_ep_cpld, k_op_read_die_temperature},
    {"READ_HWTRIP_TEMP", k_ep_cpld, k_op_read_hwtrip_temp},
    {"QSFP_PSNT", k_ep_qsfp, k_op_qsfp_psnt},
    {"QSFP_IS_RESET", k_ep_qsfp, k_op_qsfp_is_reset},
    {"QSFP_SET_PORT", k_ep_qsfp, k_op_qsfp_set_port},
    {"QSFP_RESET_PORT", k_ep_qsfp, k_op_qsfp_reset_port},
    {"QSFP_SET_LPMODE", k_ep_qsfp, k_op_qsfp_set_lpmode},
    {"QSFP_RESET_LPMODE", k_ep_qsfp, k_op_qsfp_reset_lpmode},
    {"QSFP_SET_LED", k_ep_qsfp, k_op_qsfp_set_led},
    {"QSFP_READ", k_ep_qsfp, k_op_qsfp_read},
    {"QSFP_WRITE", k_ep_qsfp, k_op_qsfp_write},
    {"QSFP_DOM_READ", k_ep_qsfp, k_op_qsfp_dom_read},
    {"QSFP_WRITE_TEMP", k_ep_qsfp, k_op_qsfp_write_temp},
    {"QSFP_SET_LINK_STATUS", k_ep_qsfp, k_op_qsfp_set_link_status},
    {"QSFP_POWER_ON", k_ep_qsfp, k_op_qsfp_power_on},
    {"QSFP_POWER_OFF", k_ep_qsfp, k_op_qsfp_power_off},
    {"QSFP_IS_POWERED_UP", k_ep_qsfp, k_op_qsfp_is_powered_up},
    {"QSFP_POWER_FAILURE", k_ep_qsfp, k_op_qsfp_power_failure},
    {"QSFP_POWER_CTRL_PRESENT", k_ep_qsfp, k_op_qsfp_power_ctrl_present},
    {"QSFP_INTR_PENDING", k_ep_qsfp, k_op_qsfp_intr_pending},
    {"QSFP_INTR_CLEAR", k_ep_qsfp, k_op_qsfp_intr_clear},
};
constexpr size_t k_ctl_cmd_count = std::size(k_ctl_cmds);

std::optional<size_t> find_cmd(uint32_t ep, uint32_t op)
{
    for (size_t i = 0; i < k_ctl_cmd_count; ++i) {
        if (k_ctl_cmds[i].ep == ep && k_ctl_cmds[i].op == op) {
            return i;
        }
    }
    return std::nullopt;
}

// Sensor names in opcode order.
constexpr const char *k_sensor_names[k_sensor_count] = {
    "pin", "pout1", "pout2", "vin", "vout1", "vout2", "board-temp", "die-temp", "hwtrip-temp",
};
constexpr uint32_t k_sensor_defaults[k_sensor_count] = {24500, 12000, 9000, 12000, 850, 900, 45, 62, 120};

std::optional<uint64_t> number(const std::string &s)
{
    if (s.empty() || s[0] == '-' || s[0] == '+') {
        return std::nullopt;
    }
    try {
        size_t pos = 0;
        const int base = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 16 : 10;
        uint64_t v = std::stoull(s, &pos, base);
        return pos == s.size() ? std::optional<uint64_t>(v) : std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

void put_text(uint8_t *dst, size_t width, const std::string &text)
{
    std::memset(dst, ' ', width);
    std::memcpy(dst, text.data(), std::min(width, text.size()));
}

std::string usage(const char *u)
{
    return "usage: " + std::string(u);
}

}  // namespace

card_ctl::card_ctl(unsigned card_index, const std::string &serial)
    : fru_(k_fru_size), faults_(k_ctl_cmd_count)
{
    // FRU: a short identity header, then a pattern that differs per card.
    for (size_t i = 0; i < fru_.size(); ++i) {
        fru_[i] = static_cast<uint8_t>(i * 31 + card_index);
    }
    put_text(fru_.data(), 8, "TALONFRU");
    put_text(fru_.data() + 8, 16, serial);
    std::copy(std::begin(k_sensor_defaults), std::end(k_sensor_defaults), sensors_.begin());
    for (unsigned p = 0; p < k_qsfp_cages; ++p) {
        auto &img = cages_[p].image;
        img[0] = 0x11;              // identifier: QSFP28
        img[1] = 0x07;              // revision
        put_le<uint16_t>(&img[22], 0x1E00);  // temperature, 1/256 degrees
        put_le<uint16_t>(&img[26], 0x80E8);  // supply voltage, 100 uV units
        img[128] = 0x11;
        put_text(&img[148], 16, "TALON EMU");
        put_text(&img[168], 16, "QSFP28-EMU-100G");
        char sn[17];
        std::snprintf(sn, sizeof(sn), "EMU%02uP%u%08u", card_index, p + 1, 4242u);
        put_text(&img[196], 16, sn);
    }
}

bool card_ctl::serves(uint32_t ep)
{
    return ep == k_ep_cpld || ep == k_ep_qsfp;
}

void card_ctl::answer(uint32_t ep, uint32_t op, const uint8_t *req, size_t req_len, uint32_t *transport,
                      std::vector<uint8_t> *rsp)
{
    *transport = 0;
    rsp->clear();
    const std::optional<size_t> cmd = find_cmd(ep, op);
    if (!cmd || faults_.empty()) {
        *transport = k_transport_enotsup;
        return;
    }
    const uint32_t status = ep == k_ep_cpld ? cpld_cmd(op, req, req_len, rsp) : qsfp_cmd(op, req, req_len, rsp);
    put_le<uint32_t>(rsp->data(), status);

    apply_fault(faults_[*cmd], rsp, transport);
}

uint32_t card_ctl::cpld_cmd(uint32_t op, const uint8_t *req, size_t req_len, std::vector<uint8_t> *rsp)
{
    auto arg = [&](size_t i) -> uint8_t {
        return k_cpld_arg_off + i < req_len ? req[k_cpld_arg_off + i] : 0;
    };
    auto req_u32 = [&](size_t off) -> uint32_t {
        uint8_t b[4] = {};
        for (size_t i = 0; i < 4 && off + i < req_len; ++i) {
            b[i] = req[off + i];
        }
        return get_le<uint32_t>(b);
    };
    if (op == k_op_fru_read) {
        rsp->assign(k_fru_rsp_len, 0);
        const uint32_t off = req_u32(k_fru_offset_off);
        if (off >= fru_.size()) {
            return k_status_bad_request;
        }
        // Past the end of the part the window reads as erased bytes.
        std::memset(rsp->data() + k_fru_data_off, 0xFF, k_fru_window);
        std::memcpy(rsp->data() + k_fru_data_off, fru_.data() + off, std::min(k_fru_window, fru_.size() - off));
        return k_status_ok;
    }
    if (op == k_op_fwsel) {
        rsp->assign(k_fwsel_rsp_len, 0);
        const uint32_t sel = req_u32(k_fwsel_selector_off);
        if (sel > k_fwsel_max) {
            return k_status_bad_request;
        }
        fwsel_ = sel;
        return k_status_ok;
    }
    if (op >= k_op_first_sensor && op <= k_op_last_sensor) {
        rsp->assign(k_sensor_rsp_len, 0);
        put_le<uint32_t>(rsp->data() + k_sensor_value_off, sensors_[op - k_op_first_sensor]);
        return k_status_ok;
    }
    rsp->assign(k_cpld_rsp_len, 0);
    uint8_t *r = rsp->data();
    auto value = [&](uint32_t v) { put_le<uint32_t>(r + k_cpld_value_off, v); };
    switch (op) {
    case k_op_get_system_led:
        value(static_cast<uint32_t>(sys_led_a_) | (static_cast<uint32_t>(sys_led_b_) << 8));
        break;
    case k_op_system_set_led:
        sys_led_a_ = arg(0);
        sys_led_b_ = arg(1);
        break;
    case k_op_cpld_set_card_status:
        card_status_ = arg(0);
        break;
    case k_op_write_fw_ver_to_cpld:
        fw_ver_ = {arg(0), arg(1), arg(2), arg(3)};
        break;
    case k_op_cpld_rev:
        value(cpld_rev_);
        break;
    case k_op_cpld_id:
        value(cpld_id_);
        break;
    case k_op_cpld_minor_rev:
        value(cpld_minor_rev_);
        break;
    case k_op_cpld_boot_status:
        value(boot_status_);
        break;
    case k_op_get_rstcause:
        value(rst_cause_);
        break;
    case k_op_get_rst_event:
        value(rst_event_);
        break;
    case k_op_get_cpld_reg:
        r[k_cpld_reg_off] = regs_[arg(0)];
        break;
    case k_op_set_cpld_reg:
        regs_[arg(0)] = arg(1);
        break;
    default:
        break;
    }
    return k_status_ok;
}

uint32_t card_ctl::qsfp_cmd(uint32_t op, const uint8_t *req, size_t req_len, std::vector<uint8_t> *rsp)
{
    std::array<uint8_t, k_qsfp_req_len> q{};
    std::memcpy(q.data(), req, std::min(req_len, q.size()));
    const uint32_t port = get_le<uint32_t>(&q[k_qsfp_port_off]);
    const bool transfer = op == k_op_qsfp_read || op == k_op_qsfp_dom_read || op == k_op_qsfp_write;
    rsp->assign(transfer ? k_qsfp_data_off : k_qsfp_query_rsp_len, 0);
    if (port < 1 || port > k_qsfp_cages) {
        return k_status_bad_request;
    }
    cage_s &c = cages_[port - 1];
    auto value = [&](uint32_t v) { put_le<uint32_t>(rsp->data() + k_qsfp_value_off, v); };
    if (transfer) {
        const uint32_t offset = get_le<uint32_t>(&q[k_qsfp_offset_off]);
        const uint32_t size = get_le<uint32_t>(&q[k_qsfp_size_off]);
        if (offset > k_qsfp_image_size || size > k_qsfp_image_size - offset) {
            return k_status_bad_request;
        }
        if (!c.present || !c.powered || c.reset) {
            return k_qsfp_status_failed;
        }
        if (op == k_op_qsfp_write) {
            if (size > k_qsfp_max_write) {
                return k_status_bad_request;
            }
            std::memcpy(c.image.data() + offset, &q[k_qsfp_wdata_off], size);
            return k_status_ok;
        }
        const uint32_t progress = get_le<uint32_t>(&q[k_qsfp_progress_off]);
        if (progress > size) {
            return k_status_bad_request;
        }
        const uint32_t n = std::min(size - progress, k_qsfp_read_chunk);
        rsp->insert(rsp->end(), c.image.begin() + offset + progress, c.image.begin() + offset + progress + n);
        return progress + n < size ? k_qsfp_status_more : k_status_ok;
    }
    switch (op) {
    case k_op_qsfp_psnt:
        value(c.present);
        break;
    case k_op_qsfp_is_reset:
        value(c.reset);
        break;
    case k_op_qsfp_set_port:
        c.reset = false;
        break;
    case k_op_qsfp_reset_port:
        c.reset = true;
        break;
    case k_op_qsfp_set_lpmode:
        c.lpmode = true;
        break;
    case k_op_qsfp_reset_lpmode:
        c.lpmode = false;
        break;
    case k_op_qsfp_set_led:
        c.led_colour = q[k_qsfp_arg1_off];
        c.led_freq = q[k_qsfp_arg2_off];
        break;
    case k_op_qsfp_write_temp:
        c.temp = q[k_qsfp_arg1_off];
        break;
    case k_op_qsfp_set_link_status:
        c.link = q[k_qsfp_arg1_off];
        break;
    case k_op_qsfp_power_on:
        if (!c.power_ctrl) {
            return k_qsfp_status_failed;
        }
        c.powered = true;
        break;
    case k_op_qsfp_power_off:
        if (!c.power_ctrl) {
            return k_qsfp_status_failed;
        }
        c.powered = false;
        break;
    case k_op_qsfp_is_powered_up:
        value(c.powered);
        break;
    case k_op_qsfp_power_failure:
        value(c.power_fail);
        break;
    case k_op_qsfp_power_ctrl_present:
        value(c.power_ctrl);
        break;
    case k_op_qsfp_intr_pending:
        value(c.intr_pending);
        break;
    case k_op_qsfp_intr_clear:
        c.intr_pending = false;
        break;
    default:
        break;
    }
    return k_status_ok;
}

bool card_ctl::is_verb(const std::string &verb)
{
    return verb == "cpld" || verb == "sensor" || verb == "qsfp" || verb == "show";
}

std::string card_ctl::command(const std::vector<std::string> &w, const std::string &addr, bool *ok)
{
    *ok = false;
    const std::string &verb = w[0];
    if (verb == "show") {
        return show(w, addr, ok);
    }
    if (verb == "cpld") {
        constexpr const char *u = "cpld CARD id|rev|minor-rev|boot-status|rst-cause|rst-event VALUE | cpld CARD reg REG VALUE";
        if (w.size() == 5 && w[2] == "reg") {
            auto reg = number(w[3]);
            auto val = number(w[4]);
            if (!reg || !val || *reg >= k_cpld_regs || *val > 0xFF) {
                return usage(u);
            }
            regs_[*reg] = static_cast<uint8_t>(*val);
            *ok = true;
            return "cpld " + addr + " reg " + w[3] + " " + w[4];
        }
        auto val = w.size() == 4 ? number(w[3]) : std::nullopt;
        if (!val || *val > UINT32_MAX) {
            return usage(u);
        }
        uint32_t *field = w[2] == "id"            ? &cpld_id_
                          : w[2] == "rev"         ? &cpld_rev_
                          : w[2] == "minor-rev"   ? &cpld_minor_rev_
                          : w[2] == "boot-status" ? &boot_status_
                          : w[2] == "rst-cause"   ? &rst_cause_
                          : w[2] == "rst-event"   ? &rst_event_
                                                  : nullptr;
        if (!field) {
            return usage(u);
        }
        *field = static_cast<uint32_t>(*val);
        *ok = true;
        return "cpld " + addr + " " + w[2] + " " + w[3];
    }
    if (verb == "sensor") {
        constexpr const char *u =
            "sensor CARD pin|pout1|pout2|vin|vout1|vout2|board-temp|die-temp|hwtrip-temp VALUE";
        auto val = w.size() == 4 ? number(w[3]) : std::nullopt;
        if (!val || *val > UINT32_MAX) {
            return usage(u);
        }
        for (size_t i = 0; i < k_sensor_count; ++i) {
            if (w[2] == k_sensor_names[i]) {
                sensors_[i] = static_cast<uint32_t>(*val);
                *ok = true;
                return "sensor " + addr + " " + w[2] + " " + w[3];
            }
        }
        return usage(u);
    }
    // qsfp CARD PORT FIELD 0|1 | qsfp CARD PORT byte OFFSET VALUE
    constexpr const char *u =
        "qsfp CARD PORT present|reset|lpmode|powered|power-fail|power-ctrl|intr-pending 0|1"
        " | qsfp CARD PORT byte OFFSET VALUE";
    auto port = w.size() >= 4 ? number(w[2]) : std::nullopt;
    if (!port) {
        return usage(u);
    }
    if (*port < 1 || *port > k_qsfp_cages) {
        return "no QSFP port " + w[2] + " (ports 1-" + std::to_string(k_qsfp_cages) + ")";
    }
    cage_s &c = cages_[*port - 1];
    if (w.size() == 6 && w[3] == "byte") {
        auto off = number(w[4]);
        auto val = number(w[5]);
        if (!off || !val || *off >= k_qsfp_image_size || *val > 0xFF) {
            return usage(u);
        }
        c.image[*off] = static_cast<uint8_t>(*val);
        *ok = true;
        return "qsfp " + addr + " " + w[2] + " byte " + w[4] + " " + w[5];
    }
    auto val = w.size() == 5 ? number(w[4]) : std::nullopt;
    if (!val || *val > 1) {
        return usage(u);
    }
    bool *flag = w[3] == "present"        ? &c.present
                 : w[3] == "reset"        ? &c.reset
                 : w[3] == "lpmode"       ? &c.lpmode
                 : w[3] == "powered"      ? &c.powered
                 : w[3] == "power-fail"   ? &c.power_fail
                 : w[3] == "power-ctrl"   ? &c.power_ctrl
                 : w[3] == "intr-pending" ? &c.intr_pending
                                          : nullptr;
    if (!flag) {
        return usage(u);
    }
    *flag = *val == 1;
    *ok = true;
    return "qsfp " + addr + " " + w[2] + " " + w[3] + " " + w[4];
}

std::string card_ctl::show(const std::vector<std::string> &w, const std::string &addr, bool *ok) const
{
    constexpr const char *u = "show CARD cpld | show CARD qsfp PORT";
    char line[512];
    if (w.size() == 3 && w[2] == "cpld") {
        std::snprintf(line, sizeof(line),
                      "cpld %s id=%u rev=%u minor-rev=%u boot-status=%u rst-cause=%u rst-event=0x%x "
                      "system-led=%u,%u card-status=%u fw-ver=%u.%u.%u.%u fwsel=%u",
                      addr.c_str(), cpld_id_, cpld_rev_, cpld_minor_rev_, boot_status_, rst_cause_, rst_event_,
                      sys_led_a_, sys_led_b_, card_status_, fw_ver_[0], fw_ver_[1], fw_ver_[2], fw_ver_[3],
                      fwsel_);
        *ok = true;
        return line;
    }
    auto port = w.size() == 4 && w[2] == "qsfp" ? number(w[3]) : std::nullopt;
    if (!port) {
        return usage(u);
    }
    if (*port < 1 || *port > k_qsfp_cages) {
        return "no QSFP port " + w[3] + " (ports 1-" + std::to_string(k_qsfp_cages) + ")";
    }
    const cage_s &c = cages_[*port - 1];
    std::snprintf(line, sizeof(line),
                  "qsfp %s %u present=%d reset=%d lpmode=%d powered=%d power-fail=%d power-ctrl=%d "
                  "intr-pending=%d led=%u,%u temp=%u link=%u page=%u",
                  addr.c_str(), static_cast<unsigned>(*port), c.present, c.reset, c.lpmode, c.powered,
                  c.power_fail, c.power_ctrl, c.intr_pending, c.led_colour, c.led_freq, c.temp, c.link,
                  c.image[k_qsfp_page_select_off]);
    *ok = true;
    return line;
}

bool card_ctl::is_command_name(const std::string &name)
{
    return std::any_of(std::begin(k_ctl_cmds), std::end(k_ctl_cmds),
                       [&](const ctl_cmd_def_s &d) { return name == d.name; });
}

std::string card_ctl::command_names()
{
    std::string s;
    for (const ctl_cmd_def_s &d : k_ctl_cmds) {
        s += s.empty() ? "" : " ";
        s += d.name;
    }
    return s;
}

void apply_fault(const fault_s &f, std::vector<uint8_t> *rsp, uint32_t *transport)
{
    switch (f.mode) {
    case fault_e::ok:
        break;
    case fault_e::status:
        put_le<uint32_t>(rsp->data(), f.value);
        break;
    case fault_e::transport:
        *transport = f.value;
        break;
    case fault_e::short_rsp:
        // Without a count the answer is cut in half.
        rsp->resize(f.value == 0 ? rsp->size() / 2 : rsp->size() - std::min<size_t>(f.value, rsp->size()));
        break;
    }
}

void card_ctl::set_fault(const std::string &name, const fault_s &fault)
{
    for (size_t i = 0; i < k_ctl_cmd_count && i < faults_.size(); ++i) {
        if (name == k_ctl_cmds[i].name) {
            faults_[i] = fault;
        }
    }
}

}  // namespace talon_emu
