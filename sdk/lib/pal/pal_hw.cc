// On-card backend (software running on the card): slots go straight to the
// platform functions.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_backends.hpp"
#include "sdk/lib/pal/pal_card_ctl.hpp"
#include "sdk/platform/pal/include/card_ctl.hpp"
#include "sdk/platform/pal/include/sbus.hpp"
#include "sdk/platform/pal/include/palx86.hpp"

namespace sdk::lib {

namespace {

pal_ret_t pal_ret_of(int rc) { return rc == 0 ? PAL_RET_OK : PAL_RET_NOK; }

pal_ret_t pal_hw_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words) {
    return pal_ret_of(::pal_reg_rd32w(addr, data, num_words));
}
pal_ret_t pal_hw_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words) {
    return pal_ret_of(::pal_reg_wr32w(addr, data, num_words));
}
pal_ret_t pal_hw_mem_read(uint64_t addr, uint8_t* data, uint64_t size, uint32_t flags) {
    ::pal_mem_rd(addr, data, size, flags);
    return PAL_RET_OK;
}
pal_ret_t pal_hw_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags) {
    ::pal_mem_wr(addr, data, size, flags);
    return PAL_RET_OK;
}
pal_ret_t pal_hw_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags) {
    return ::pal_memset(addr, value, size, flags) == size ? PAL_RET_OK : PAL_RET_NOK;
}
pal_ret_t pal_hw_ring_db16(uint64_t addr, uint16_t data) { return pal_ret_of(::pal_reg_wr16(addr, data)); }
pal_ret_t pal_hw_ring_db32(uint64_t addr, uint32_t data) { return pal_ret_of(::pal_reg_wr32(addr, data)); }
pal_ret_t pal_hw_ring_db64(uint64_t addr, uint64_t data) { return pal_ret_of(::pal_reg_wr64(addr, data)); }
pal_ret_t pal_hw_ptov(uint64_t phy_addr, uint64_t* virtual_addr) {
    *virtual_addr = reinterpret_cast<uint64_t>(::pal_mem_ptov(phy_addr));
    return PAL_RET_OK;
}
pal_ret_t pal_hw_vtop(uint64_t virtual_addr, uint64_t* phy_addr) {
    *phy_addr = ::pal_mem_vtop(reinterpret_cast<const void*>(virtual_addr));
    return PAL_RET_OK;
}
pal_ret_t pal_hw_sbus_read(uint32_t ring, uint32_t sbus_addr, uint32_t reg) {
    ::pal_sbus_rd(ring, sbus_addr, reg);
    return PAL_RET_OK;
}
pal_ret_t pal_hw_sbus_write(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value) {
    ::pal_sbus_wr(ring, sbus_addr, reg, value);
    return PAL_RET_OK;
}
pal_ret_t pal_hw_sbus_reset(uint32_t ring, uint32_t sbus_addr) {
    ::pal_sbus_rst(ring, sbus_addr);
    return PAL_RET_OK;
}
void* pal_hw_mem_map(uint64_t pa, uint32_t size) { return ::pal_mem_map(pa, size, 0); }
void pal_hw_mem_unmap(void* ptr) { ::pal_mem_unmap(ptr); }
pal_ret_t pal_hw_reg_rw_ctrl(pal_reg_rw_ctrl_s*) { return PAL_RET_OK; }

pal_ret_t pal_hw_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                           uint32_t nretry, uint32_t port) {
    return pal_card_ctl_qsfp_read(logger_file_name(__FILE__), __LINE__, buffer, size, offset, page,
                                  nretry, port);
}
pal_ret_t pal_hw_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset,
                            qsfp_page_t page, uint32_t nretry, uint32_t port) {
    return pal_card_ctl_qsfp_write(logger_file_name(__FILE__), __LINE__, buffer, size, offset,
                                   page, nretry, port);
}
pal_ret_t pal_hw_qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t nretry,
                               uint32_t port) {
    return pal_card_ctl_qsfp_dom_read(logger_file_name(__FILE__), __LINE__, buffer, size, offset,
                                      nretry, port);
}
// Controls: 1 when the platform function reports a failure.
pal_ret_t pal_hw_control(int rc) { return rc != 0 ? PAL_RET_NOK : PAL_RET_OK; }
pal_ret_t pal_hw_qsfp_mdio_read(uint16_t* data, uint32_t device, uint32_t reg, uint32_t nretry,
                                uint32_t port) {
    return pal_hw_control(::pal_qsfp_mdio_read(data, device, reg, nretry, static_cast<int>(port)));
}
pal_ret_t pal_hw_qsfp_mdio_write(uint16_t data, uint32_t device, uint32_t reg, uint32_t nretry,
                                 uint32_t port) {
    return pal_hw_control(::pal_qsfp_mdio_write(data, device, reg, nretry, static_cast<int>(port)));
}
pal_ret_t pal_hw_qsfp_phy_read(uint16_t* data, uint32_t reg, uint32_t nretry, uint32_t port) {
    return pal_hw_control(::pal_qsfp_phy_read(data, reg, nretry, static_cast<int>(port)));
}
pal_ret_t pal_hw_qsfp_phy_write(uint16_t data, uint32_t reg, uint32_t nretry, uint32_t port) {
    return pal_hw_control(::pal_qsfp_phy_write(data, reg, nretry, static_cast<int>(port)));
}
pal_ret_t pal_hw_qsfp_set_led(int port, pal_led_color_t color, pal_led_frequency_t frequency) {
    return pal_hw_control(::pal_qsfp_set_led(port, static_cast<uint8_t>(color),
                                             static_cast<uint8_t>(frequency)));
}
int pal_hw_cpld_write_qsfp_temp(uint32_t temperature, uint32_t port) {
    return ::pal_write_qsfp_temp(static_cast<uint8_t>(temperature), static_cast<int>(port));
}

}  // namespace

pal_ret_t pal_hw_init() {
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    v.reg_read = pal_hw_reg_read;
    v.reg_write = pal_hw_reg_write;
    v.sbus_read = pal_hw_sbus_read;
    v.sbus_write = pal_hw_sbus_write;
    v.sbus_reset = pal_hw_sbus_reset;
    v.mem_read = pal_hw_mem_read;
    v.mem_write = pal_hw_mem_write;
    v.ring_db16 = pal_hw_ring_db16;
    v.ring_db32 = pal_hw_ring_db32;
    v.ring_db64 = pal_hw_ring_db64;
    v.physical_addr_to_virtual_addr = pal_hw_ptov;
    v.virtual_addr_to_physical_addr = pal_hw_vtop;
    v.mem_set = pal_hw_mem_set;
    // QSFP and board-controller operations are card firmware commands.
    pal_card_ctl_fill_slots(v);
    v.qsfp_read = pal_hw_qsfp_read;
    v.qsfp_write = pal_hw_qsfp_write;
    v.qsfp_dom_read = pal_hw_qsfp_dom_read;
    v.qsfp_mdio_read = pal_hw_qsfp_mdio_read;
    v.qsfp_mdio_write = pal_hw_qsfp_mdio_write;
    v.qsfp_phy_read = pal_hw_qsfp_phy_read;
    v.qsfp_phy_write = pal_hw_qsfp_phy_write;
    v.qsfp_set_led = pal_hw_qsfp_set_led;
    v.cpld_write_qsfp_temp = pal_hw_cpld_write_qsfp_temp;
    v.mem_map = pal_hw_mem_map;
    v.mem_unmap = pal_hw_mem_unmap;
    v.get_sub_asic = ::pal_get_sub_asic;
    v.is_mem_region_avail = ::pal_is_mem_region_avail;
    v.reg_rw_ctrl = pal_hw_reg_rw_ctrl;
    return PAL_RET_OK;
}

}  // namespace sdk::lib
