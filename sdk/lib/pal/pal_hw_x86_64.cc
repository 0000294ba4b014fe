// Host x86-64 backend: registers and memory through the thread's mapped BARs,
// with the access capture hooks.
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_backends.hpp"
#include "sdk/lib/pal/pal_card_ctl.hpp"
#include "sdk/lib/pal/pal_hw_common.hpp"
#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "sdk/platform/pal/include/palx86.hpp"

namespace sdk::lib {

namespace {

constexpr uint64_t k_reg_word_size = 4;
constexpr uint32_t k_mem_map_flags = 1;

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
    const int rc = ::pal_mem_rd(addr, data, size, flags);
    if (pal_rw_recording()) {
        mem_read_dump(addr, data, size);
    }
    return pal_ret_of(rc);
}

pal_ret_t pal_x86_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags) {
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    if (pal_rw_recording()) {
        mem_write_dump(addr, data, size);
    }
    return pal_ret_of(::pal_mem_wr(addr, data, size, flags));
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

}  // namespace

pal_ret_t pal_hw_x86_64_init() {
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    pal_hw_fill_common_slots(v);
    v.reg_read = pal_x86_reg_read;
    v.reg_write = pal_x86_reg_write;
    v.mem_read = pal_x86_mem_read;
    v.mem_write = pal_x86_mem_write;
    v.step_cpu_pkt = nullptr;
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
    v.qsfp_set_led = pal_x86_qsfp_set_led;
    v.cpld_write_qsfp_temp = pal_x86_cpld_write_qsfp_temp;
    v.qsfp_dom_read = pal_x86_qsfp_dom_read;
    v.reg_batch_write = nullptr;
    v.reg_rw_ctrl = pal_rw_dump_ctrl;
    return PAL_RET_OK;
}

}  // namespace sdk::lib
