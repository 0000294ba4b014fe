// Default operations: set before any backend, each logs one debug line and
// returns a fixed, harmless value.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"

namespace sdk::lib {

namespace {

pal_ret_t pal_default_reg_read(uint64_t addr, uint32_t*, uint32_t) {
    LOGGER_DEBUG("PAL default register read called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_reg_write(uint64_t addr, const uint32_t*, uint32_t) {
    LOGGER_DEBUG("PAL default register write called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_mem_read(uint64_t addr, uint8_t*, uint64_t, uint32_t) {
    LOGGER_DEBUG("PAL default memory read called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_mem_write(uint64_t addr, const uint8_t*, uint64_t, uint32_t) {
    LOGGER_DEBUG("PAL default memory write called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_mem_set(uint64_t addr, uint8_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default memset called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_ring_db16(uint64_t addr, uint16_t) {
    LOGGER_DEBUG("PAL default ring_doorbell 16 called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_ring_db32(uint64_t addr, uint32_t) {
    LOGGER_DEBUG("PAL default ring_doorbell 32 called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_ring_db64(uint64_t addr, uint64_t) {
    LOGGER_DEBUG("PAL default ring_doorbell 64 called for %lx", addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_ptov(uint64_t phy_addr, uint64_t*) {
    LOGGER_DEBUG("PAL default ptov called for physical address %lx", phy_addr);
    return PAL_RET_OK;
}

pal_ret_t pal_default_vtop(uint64_t virtual_addr, uint64_t*) {
    LOGGER_DEBUG("PAL default vtop called for virtual address %lx", virtual_addr);
    return PAL_RET_OK;
}

bool pal_default_is_qsfp_port_present(int) {
    LOGGER_DEBUG("PAL default is_qsfp_port_present");
    return false;
}

pal_ret_t pal_default_qsfp_set_port(int port) {
    LOGGER_DEBUG("PAL default qsfp_set_port %d", port);
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_reset_port(int port) {
    LOGGER_DEBUG("PAL default qsfp_reset_port %d", port);
    return PAL_RET_OK;
}

bool pal_default_is_qsfp_port_power_ctrl_present(int) {
    LOGGER_DEBUG("PAL default is_qsfp_port_power_ctrl_present");
    return true;
}

bool pal_default_is_qsfp_port_powered_up(int) {
    LOGGER_DEBUG("PAL default is_qsfp_port_powered_up");
    return true;
}

bool pal_default_is_qsfp_port_power_failure(int) {
    LOGGER_DEBUG("PAL default is_qsfp_port_power_failure");
    return false;
}

bool pal_default_is_qsfp_presence_intr_pending(int) {
    LOGGER_DEBUG("PAL default is_qsfp_presence_intr_pending");
    return false;
}

pal_ret_t pal_default_qsfp_presence_intr_clear(int) {
    LOGGER_DEBUG("PAL default qsfp_presence_intr_clear");
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_power_en(int port, bool enable) {
    LOGGER_DEBUG("PAL default qsfp_set_power_en %d %d", port, enable ? 1 : 0);
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_set_low_power_mode(int port) {
    LOGGER_DEBUG("PAL default qsfp_set_low_power_mode %d", port);
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_reset_low_power_mode(int port) {
    LOGGER_DEBUG("PAL default qsfp_reset_low_power_mode %d", port);
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_read(uint8_t*, uint32_t, uint32_t, qsfp_page_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_read");
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_write(const uint8_t*, uint32_t, uint32_t, qsfp_page_t, uint32_t,
                                 uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_write");
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_mdio_read(uint16_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_mdio_read");
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_mdio_write(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_mdio_write");
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_phy_read(uint16_t*, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_phy_read");
    return PAL_RET_OK;
}

pal_ret_t pal_default_qsfp_phy_write(uint16_t, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_phy_write");
    return PAL_RET_OK;
}

void* pal_default_mem_map(uint64_t pa, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_mem_map called for PA=%lx", pa);
    return nullptr;
}

void pal_default_mem_unmap(void*) { LOGGER_DEBUG("PAL default pal_default_mem_unmap called."); }

pal_ret_t pal_default_qsfp_set_led(int, pal_led_color_t, pal_led_frequency_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_set_led");
    return PAL_RET_OK;
}

int pal_default_get_cpld_rev() {
    LOGGER_DEBUG("PAL default get cpld_rev");
    return -1;
}

int pal_default_get_cpld_id() {
    LOGGER_DEBUG("PAL default get cpld_id");
    return -1;
}

int pal_default_cpld_write_qsfp_temp(uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default write cpld temperature");
    return -1;
}

pal_ret_t pal_default_qsfp_dom_read(uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_default_qsfp_dom_read");
    return PAL_RET_OK;
}

int pal_default_get_system_led() { return 0; }
int pal_default_get_rst_reason() { return 0; }
int pal_default_get_sub_asic() { return 0; }
int pal_default_is_mem_region_avail(uint64_t, uint64_t) { return 0; }

}  // namespace

void pal_default_init_rwvectors() {
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    v.reg_read = pal_default_reg_read;
    v.reg_write = pal_default_reg_write;
    v.mem_read = pal_default_mem_read;
    v.mem_write = pal_default_mem_write;
    v.mem_set = pal_default_mem_set;
    v.ring_db16 = pal_default_ring_db16;
    v.ring_db32 = pal_default_ring_db32;
    v.ring_db64 = pal_default_ring_db64;
    v.physical_addr_to_virtual_addr = pal_default_ptov;
    v.virtual_addr_to_physical_addr = pal_default_vtop;
    v.is_qsfp_port_present = pal_default_is_qsfp_port_present;
    v.qsfp_set_port = pal_default_qsfp_set_port;
    v.qsfp_reset_port = pal_default_qsfp_reset_port;
    v.is_qsfp_port_power_ctrl_present = pal_default_is_qsfp_port_power_ctrl_present;
    v.is_qsfp_port_powered_up = pal_default_is_qsfp_port_powered_up;
    v.is_qsfp_port_power_failure = pal_default_is_qsfp_port_power_failure;
    v.is_qsfp_presence_intr_pending = pal_default_is_qsfp_presence_intr_pending;
    v.qsfp_presence_intr_clear = pal_default_qsfp_presence_intr_clear;
    v.qsfp_power_en = pal_default_qsfp_power_en;
    v.qsfp_set_low_power_mode = pal_default_qsfp_set_low_power_mode;
    v.qsfp_reset_low_power_mode = pal_default_qsfp_reset_low_power_mode;
    v.qsfp_read = pal_default_qsfp_read;
    v.qsfp_write = pal_default_qsfp_write;
    v.qsfp_mdio_read = pal_default_qsfp_mdio_read;
    v.qsfp_mdio_write = pal_default_qsfp_mdio_write;
    v.qsfp_phy_read = pal_default_qsfp_phy_read;
    v.qsfp_phy_write = pal_default_qsfp_phy_write;
    v.mem_map = pal_default_mem_map;
    v.mem_unmap = pal_default_mem_unmap;
    v.qsfp_set_led = pal_default_qsfp_set_led;
    v.get_cpld_rev = pal_default_get_cpld_rev;
    v.get_cpld_id = pal_default_get_cpld_id;
    v.cpld_write_qsfp_temp = pal_default_cpld_write_qsfp_temp;
    v.qsfp_dom_read = pal_default_qsfp_dom_read;
    v.get_system_led = pal_default_get_system_led;
    v.get_rst_reason = pal_default_get_rst_reason;
    v.get_sub_asic = pal_default_get_sub_asic;
    v.is_mem_region_avail = pal_default_is_mem_region_avail;
}

void pal_default_init() { pal_default_init_rwvectors(); }

}  // namespace sdk::lib
