// Host x86-64 backend: registers and memory through the thread's mapped BARs,
// with the access capture hooks.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_backends.hpp"
#include "sdk/lib/pal/pal_card_ctl.hpp"
#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "sdk/platform/pal/include/sbus.hpp"
#include "sdk/platform/pal/include/palx86.hpp"

namespace sdk::lib {

namespace {

constexpr uint64_t k_reg_word_size = 4;
constexpr uint32_t k_mem_map_flags = 1;

pal_ret_t pal_ret_of(int rc) { return rc == 0 ? PAL_RET_OK : PAL_RET_NOK; }

pal_ret_t pal_x86_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words) {
    int rc = ::pal_reg_rd32w(addr, data, num_words);
    if (pal_rw_recording()) {
        for (uint32_t i = 0; i < num_words; ++i) {
            reg_read_dump(addr + k_reg_word_size * i, data[i]);
        }
    }
    return pal_ret_of(rc);
}

pal_ret_t pal_x86_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words) {
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    if (pal_rw_recording()) {
        reg_write_dump(addr, data, num_words, 0, 0);
    }
    return pal_ret_of(::pal_reg_wr32w(addr, data, num_words));
}

pal_ret_t pal_x86_mem_read(uint64_t addr, uint8_t* data, uint64_t size, uint32_t flags) {
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    ::pal_mem_rd(addr, data, size, flags);
    if (pal_rw_recording()) {
        mem_read_dump(addr, data, size);
    }
    return PAL_RET_OK;
}

pal_ret_t pal_x86_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags) {
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    if (pal_rw_recording()) {
        mem_write_dump(addr, data, size);
    }
    ::pal_mem_wr(addr, data, size, flags);
    return PAL_RET_OK;
}

pal_ret_t pal_x86_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags) {
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    if (pal_rw_recording()) {
        mem_set_dump(addr, value, size);
    }
    return ::pal_memset(addr, value, size, flags) == size ? PAL_RET_OK : PAL_RET_NOK;
}

pal_ret_t pal_x86_sbus_read(uint32_t ring, uint32_t sbus_addr, uint32_t reg) {
    ::pal_sbus_rd(ring, sbus_addr, reg);
    return PAL_RET_OK;
}

pal_ret_t pal_x86_sbus_write(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value) {
    ::pal_sbus_wr(ring, sbus_addr, reg, value);
    return PAL_RET_OK;
}

pal_ret_t pal_x86_sbus_reset(uint32_t ring, uint32_t sbus_addr) {
    ::pal_sbus_rst(ring, sbus_addr);
    return PAL_RET_OK;
}

pal_ret_t pal_x86_ring_db16(uint64_t addr, uint16_t data) {
    return pal_ret_of(::pal_reg_wr16(addr, data));
}
pal_ret_t pal_x86_ring_db32(uint64_t addr, uint32_t data) {
    return pal_ret_of(::pal_reg_wr32(addr, data));
}
pal_ret_t pal_x86_ring_db64(uint64_t addr, uint64_t data) {
    return pal_ret_of(::pal_reg_wr64(addr, data));
}

pal_ret_t pal_x86_ptov(uint64_t phy_addr, uint64_t* virtual_addr) {
    *virtual_addr = reinterpret_cast<uint64_t>(::pal_mem_ptov(phy_addr));
    return PAL_RET_OK;
}

pal_ret_t pal_x86_vtop(uint64_t virtual_addr, uint64_t* phy_addr) {
    *phy_addr = ::pal_mem_vtop(reinterpret_cast<const void*>(virtual_addr));
    return PAL_RET_OK;
}

void pal_x86_not_implemented() { LOGGER_ERR("PAL API not implmented"); }

pal_ret_t pal_x86_qsfp_mdio_read(uint16_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    pal_x86_not_implemented();
    return PAL_RET_OK;
}
pal_ret_t pal_x86_qsfp_mdio_write(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    pal_x86_not_implemented();
    return PAL_RET_OK;
}
pal_ret_t pal_x86_qsfp_phy_read(uint16_t*, uint32_t, uint32_t, uint32_t) {
    pal_x86_not_implemented();
    return PAL_RET_OK;
}
pal_ret_t pal_x86_qsfp_phy_write(uint16_t, uint32_t, uint32_t, uint32_t) {
    pal_x86_not_implemented();
    return PAL_RET_OK;
}
pal_ret_t pal_x86_qsfp_set_led(int, pal_led_color_t, pal_led_frequency_t) {
    pal_x86_not_implemented();
    return PAL_RET_OK;
}
int pal_x86_cpld_write_qsfp_temp(uint32_t, uint32_t) {
    pal_x86_not_implemented();
    return 0;
}
pal_ret_t pal_x86_qsfp_dom_read(uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    pal_x86_not_implemented();
    return PAL_RET_OK;
}

pal_ret_t pal_x86_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                            uint32_t nretry, uint32_t port) {
    return pal_card_ctl_qsfp_read(logger_file_name(__FILE__), __LINE__, buffer, size, offset, page,
                                  nretry, port);
}
pal_ret_t pal_x86_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset,
                             qsfp_page_t page, uint32_t nretry, uint32_t port) {
    return pal_card_ctl_qsfp_write(logger_file_name(__FILE__), __LINE__, buffer, size, offset,
                                   page, nretry, port);
}

void* pal_x86_mem_map(uint64_t pa, uint32_t size) { return ::pal_mem_map(pa, size, k_mem_map_flags); }
void pal_x86_mem_unmap(void* ptr) { ::pal_mem_unmap(ptr); }

}  // namespace

pal_ret_t pal_hw_x86_64_init() {
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    v.reg_read = pal_x86_reg_read;
    v.reg_write = pal_x86_reg_write;
    v.sbus_read = pal_x86_sbus_read;
    v.sbus_write = pal_x86_sbus_write;
    v.sbus_reset = pal_x86_sbus_reset;
    v.mem_read = pal_x86_mem_read;
    v.mem_write = pal_x86_mem_write;
    v.ring_db16 = pal_x86_ring_db16;
    v.ring_db32 = pal_x86_ring_db32;
    v.ring_db64 = pal_x86_ring_db64;
    v.step_cpu_pkt = nullptr;
    v.physical_addr_to_virtual_addr = pal_x86_ptov;
    v.virtual_addr_to_physical_addr = pal_x86_vtop;
    v.mem_set = pal_x86_mem_set;
    // QSFP and board-controller operations are card firmware commands.
    pal_card_ctl_fill_slots(v);
    v.qsfp_read = pal_x86_qsfp_read;
    v.qsfp_write = pal_x86_qsfp_write;
    v.qsfp_mdio_read = pal_x86_qsfp_mdio_read;
    v.qsfp_mdio_write = pal_x86_qsfp_mdio_write;
    v.qsfp_phy_read = pal_x86_qsfp_phy_read;
    v.qsfp_phy_write = pal_x86_qsfp_phy_write;
    v.mem_map = pal_x86_mem_map;
    v.mem_unmap = pal_x86_mem_unmap;
    v.qsfp_set_led = pal_x86_qsfp_set_led;
    v.cpld_write_qsfp_temp = pal_x86_cpld_write_qsfp_temp;
    v.qsfp_dom_read = pal_x86_qsfp_dom_read;
    v.reg_batch_write = nullptr;
    v.get_sub_asic = ::pal_get_sub_asic;
    v.is_mem_region_avail = ::pal_is_mem_region_avail;
    v.reg_rw_ctrl = pal_rw_dump_ctrl;
    return PAL_RET_OK;
}

}  // namespace sdk::lib
