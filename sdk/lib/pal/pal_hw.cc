// On-card backend (software running on the card): slots go straight to the
// platform functions.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_backends.hpp"
#include "sdk/lib/pal/pal_card_ctl.hpp"
#include "sdk/lib/pal/pal_hw_common.hpp"
#include "sdk/platform/pal/include/card_ctl.hpp"
#include "sdk/platform/pal/include/palx86.hpp"

namespace sdk::lib {

namespace {

pal_ret_t pal_hw_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words) {
    return pal_ret_of(::pal_reg_rd32w(addr, data, num_words));
}
pal_ret_t pal_hw_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words) {
    return pal_ret_of(::pal_reg_wr32w(addr, data, num_words));
}
pal_ret_t pal_hw_mem_read(uint64_t addr, uint8_t* data, uint64_t size, uint32_t flags) {
    return pal_ret_of(::pal_mem_rd(addr, data, size, flags));
}
pal_ret_t pal_hw_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags) {
    return pal_ret_of(::pal_mem_wr(addr, data, size, flags));
}
pal_ret_t pal_hw_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags) {
    return ::pal_memset(addr, value, size, flags) == size ? PAL_RET_OK : PAL_RET_NOK;
}
void* pal_hw_mem_map(uint64_t pa, uint32_t size) { return ::pal_mem_map(pa, size, 0); }
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
    pal_hw_fill_common_slots(v);
    v.reg_read = pal_hw_reg_read;
    v.reg_write = pal_hw_reg_write;
    v.mem_read = pal_hw_mem_read;
    v.mem_write = pal_hw_mem_write;
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
    v.reg_rw_ctrl = pal_hw_reg_rw_ctrl;
    return PAL_RET_OK;
}

}  // namespace sdk::lib
