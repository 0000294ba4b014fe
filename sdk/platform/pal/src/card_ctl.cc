#include "sdk/platform/pal/include/card_ctl.hpp"

#include <chrono>
#include <cstddef>
#include <thread>

#include "sdk/platform/pal/include/card_cmd_wire.hpp"
#include "sdk/platform/pal/include/locks.hpp"

using pal_card_wire::k_fru_window;
using pal_card_wire::k_qsfp_no_page;
using pal_card_wire::k_qsfp_page_select_off;

namespace {

constexpr int k_fail = -1;
constexpr int k_log_warn = 2;
constexpr auto k_page_select_settle = std::chrono::milliseconds(100);
// CPLD ids of TALON cards once bit 1 is cleared (101 and 103).
constexpr int k_talon_cpld_id = 101;
constexpr int k_talon_cpld_id_variant_bit = 0x2;

void sleep_us(uint32_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// Writes the page byte unless `page` means no page select; 0 or the write's
// result.
int select_page(uint32_t page, uint32_t retries, int port) {
    if (page == k_qsfp_no_page) {
        return 0;
    }
    const uint8_t byte = static_cast<uint8_t>(page);
    return pal_qsfp_write(&byte, 1, k_qsfp_page_select_off, retries, port);
}

// Reset event bit -> reason index, in priority order.
struct rst_rule_s {
    uint32_t bits;
    int reason;
};
constexpr uint32_t bit(unsigned n) { return 1u << n; }
constexpr rst_rule_s k_rst_rules[] = {
    {bit(13), 12}, {bit(12), 11}, {bit(5), 1},   {bit(9), 5},   {bit(10), 9},
    {bit(8), 4},   {bit(7), 3},   {bit(6), 2},   {bit(16), 16}, {bit(17), 17},
    {bit(18), 18}, {bit(19), 19}, {bit(20), 20}, {bit(21), 21}, {bit(22), 22},
    {bit(14), 13}, {bit(2) | bit(3), 8}, {bit(11), 10}, {bit(0), 6}, {bit(1), 7},
    {bit(15), 15}, {bit(4), 14},
};

constexpr const char* k_rst_reason_descr[] = {
    "Unknown",
    "Software power cycle",
    "Voltage reduction device fault",
    "Thermal trip",
    "Host power cycle",
    "AC power cycle/CPLD reload",
    "Software warm reboot",
    "Kernel panic",
    "Pcie reset",
    "BMC power cycle",
    "NCSID power cycle",
    "eSecure enabled",
    "ASIC warm reset",
    "Runtime watchdog reset",
    "Hardware watchdog reset",
    "Software thermal trip",
    "Power reset",
    "Internal reset",
    "Reset sequence timeout",
    "ASIC power cycle",
    "Temperature watchdog timeout",
    "Reboot by POWER_OK de-assertion request",
    "Cold boot",
    "Unknown",
    "Unknown",
    "Unknown",
    "Unknown",
};
constexpr int k_rst_reason_max = 26;
static_assert(std::size(k_rst_reason_descr) == k_rst_reason_max + 1);

int cpld_value(int (*query)(int*)) {
    int value = 0;
    return query(&value) == 0 ? value : 0;
}

}  // namespace

int pal_is_qsfp_port_psnt(int port) { return pal_ipc_c_is_qsfp_port_psnt(port); }
int pal_is_qsfp_port_reset(int port) { return pal_ipc_c_is_qsfp_port_reset(port); }
int pal_qsfp_set_port(int port) { return pal_ipc_c_qsfp_set_port(port); }
int pal_qsfp_reset_port(int port) { return pal_ipc_c_qsfp_reset_port(port); }
int pal_is_qsfp_port_power_ctrl_present(int port) { return pal_ipc_c_is_qsfp_port_power_ctrl_present(port); }
int pal_is_qsfp_port_powered_up(int port) { return pal_ipc_c_is_qsfp_port_powered_up(port); }
int pal_is_qsfp_port_power_failure(int port) { return pal_ipc_c_is_qsfp_port_power_failure(port); }
int pal_qsfp_power_en(int port, bool on) { return pal_ipc_c_qsfp_power_mode_en(port, on); }
int pal_qsfp_set_low_power_mode(int port) { return pal_ipc_c_qsfp_set_low_power_mode(port); }
int pal_qsfp_reset_low_power_mode(int port) { return pal_ipc_c_qsfp_reset_low_power_mode(port); }
int pal_is_qsfp_presence_intr_pending(int port) { return pal_ipc_c_is_qsfp_presence_intr_pending(port); }
int pal_qsfp_presence_intr_clear(int port) { return pal_ipc_c_qsfp_presence_intr_clear(port); }
int pal_qsfp_set_led(int port, uint8_t colour, uint8_t frequency) {
    return pal_ipc_c_qsfp_set_led(port, colour, frequency);
}
int pal_system_set_led(uint8_t a, uint8_t b) { return pal_ipc_c_system_set_led(a, b); }
int pal_get_system_led() { return pal_ipc_c_get_system_led(); }
int pal_cpld_set_card_status(uint8_t status) { return pal_ipc_c_cpld_set_card_status(status); }
int pal_cpld_set_port_link_status(int port, uint8_t status) {
    return pal_ipc_c_qsfp_set_port_link_status(port, status);
}
int pal_write_qsfp_temp(uint8_t temperature, int port) { return pal_ipc_c_write_qsfp_temp(temperature, port); }
int pal_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return pal_ipc_c_write_fw_ver_to_cpld(a, b, c, d);
}
int pal_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port) {
    return pal_ipc_c_qsfp_read(buf, size, offset, retries, port);
}
int pal_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port) {
    return pal_ipc_c_qsfp_write(buf, size, offset, retries, port);
}
int pal_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, int port) {
    return pal_ipc_c_qsfp_dom_read(buf, size, offset, retries, port);
}

int pal_get_cpld_rev() { return cpld_value(pal_ipc_c_cpld_rev); }
int pal_get_cpld_id() { return cpld_value(pal_ipc_c_cpld_id); }
int pal_get_cpld_minor_rev() { return cpld_value(pal_ipc_c_cpld_minor_rev); }
int pal_cpld_boot_status() { return cpld_value(pal_ipc_c_cpld_boot_status); }

bool pal_is_talon_card() {
    return (pal_get_cpld_id() & ~k_talon_cpld_id_variant_bit) == k_talon_cpld_id;
}

int pal_fru_read(uint8_t* buf, uint32_t size, uint32_t offset) {
    if (size != k_fru_window) {
        pal_log(k_log_warn, "Buffer is not of the right size ");
        return k_fail;
    }
    return pal_ipc_c_fru_read(buf, size, offset);
}

namespace {

// Selects `page` (unless no page is asked for), lets the module settle, then
// runs the transfer; 0 or k_fail.
template <typename Transfer>
int on_page(uint32_t size, uint32_t page, uint32_t retries, int port, Transfer transfer) {
    if (size == 0) {
        return k_fail;
    }
    if (page != k_qsfp_no_page) {
        if (select_page(page, retries, port) != 0) {
            return k_fail;
        }
        std::this_thread::sleep_for(k_page_select_settle);
    }
    return transfer() == 0 ? 0 : k_fail;
}

}  // namespace

int pal_qsfp_read_page(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page,
                       uint32_t retries, int port) {
    return on_page(size, page, retries, port, [&] { return pal_qsfp_read(buf, size, offset, retries, port); });
}

int pal_qsfp_write_page(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page,
                        uint32_t retries, int port) {
    return on_page(size, page, retries, port, [&] { return pal_qsfp_write(buf, size, offset, retries, port); });
}

int pal_qsfp_read_page_fast(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page,
                            uint32_t retries, int port, uint32_t delay_us) {
    const int selected = select_page(page, retries, port);
    if (retries == 0) {
        return selected;
    }
    if (selected != 0) {
        return k_fail;
    }
    if (page != k_qsfp_no_page) {
        sleep_us(delay_us);
    }
    for (uint32_t attempt = 0; attempt < retries; ++attempt) {
        if (attempt > 0) {
            sleep_us(delay_us);
        }
        if (pal_qsfp_read(buf, size, offset, retries, port) == 0) {
            return 0;
        }
    }
    return k_fail;
}

int pal_qsfp_bank_page_sel(uint32_t offset, uint8_t bank, uint8_t page, uint32_t retries,
                           int port_index, uint32_t delay_us, uint8_t* readback) {
    const uint8_t sel[2] = {bank, page};
    int rc = pal_qsfp_write(sel, sizeof(sel), offset, retries, port_index + 1);
    if (rc != 0 || readback == nullptr) {
        return rc;
    }
    sleep_us(delay_us);
    return pal_qsfp_read(readback, 1, k_qsfp_page_select_off, retries, port_index + 1);
}

uint32_t pal_get_reset_events() {
    int events = pal_ipc_c_get_rst_event();
    return events < 0 ? 0 : static_cast<uint32_t>(events);
}

int pal_get_rst_reason() {
    const uint32_t events = pal_get_reset_events();
    for (const rst_rule_s& r : k_rst_rules) {
        if (events & r.bits) {
            return r.reason;
        }
    }
    return 0;
}

const char* pal_get_rst_reason_descr(int reason) {
    if (reason < 0 || reason > k_rst_reason_max) {
        return "Invalid reason";
    }
    return k_rst_reason_descr[reason];
}

int pal_update_qsfp_led(int, int) { return k_fail; }
int pal_get_cpld_slot_id() { return k_fail; }
int pal_get_cpld_pca_rev() { return k_fail; }
int pal_cpld_erase() { return k_fail; }
int pal_cpld_read_flash(uint8_t*, uint32_t) { return k_fail; }
int pal_cpld_write_flash(const uint8_t*, uint32_t) { return k_fail; }
int pal_write_qsfp_alarm_temp(uint8_t, int) { return k_fail; }
int pal_write_qsfp_warning_temp(uint8_t, int) { return k_fail; }
int pal_enable_auxiliary_fan() { return k_fail; }
int pal_disable_auxiliary_fan() { return k_fail; }
int pal_puf_err_cnt() { return k_fail; }
int pal_cpld_write_feature_row(const uint8_t*, uint32_t) { return k_fail; }
int pal_cpld_ufm3(uint8_t*, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_swi_csr(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_swi_csr(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_mes(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_mes(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_ncsi_hw_arb(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_ncsi_hw_arb(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_mac0_csr(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_mac0_csr(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_mac0(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_mac0(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_serdes(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_serdes(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_ps48_read_pc(uint32_t, uint32_t*) { return k_fail; }
int pal_cpld_ps48_write_pc(uint32_t, uint32_t) { return k_fail; }
int pal_cpld_get_sku_id() { return k_fail; }
int smbus_read(uint8_t, uint8_t, uint8_t*) { return k_fail; }
int smbus_write(uint8_t, uint8_t, uint8_t) { return k_fail; }
int pal_qsfp_mdio_read(uint16_t*, uint32_t, uint32_t, uint32_t, int) { return k_fail; }
int pal_qsfp_mdio_write(uint16_t, uint32_t, uint32_t, uint32_t, int) { return k_fail; }
int pal_qsfp_phy_read(uint16_t*, uint32_t, uint32_t, int) { return k_fail; }
int pal_qsfp_phy_write(uint16_t, uint32_t, uint32_t, int) { return k_fail; }
int pal_read_iin(int*) { return k_fail; }
