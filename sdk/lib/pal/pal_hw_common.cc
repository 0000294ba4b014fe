#include "sdk/lib/pal/pal_hw_common.hpp"

#include "sdk/platform/pal/include/palx86.hpp"
#include "sdk/platform/pal/include/sbus.hpp"

namespace sdk::lib {

namespace {

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

void pal_hw_mem_unmap(void* ptr) { ::pal_mem_unmap(ptr); }

}  // namespace

pal_ret_t pal_ret_of(int rc) { return rc == 0 ? PAL_RET_OK : PAL_RET_NOK; }

void pal_hw_fill_common_slots(pal_rwvecs_s& v) {
    v.sbus_read = pal_hw_sbus_read;
    v.sbus_write = pal_hw_sbus_write;
    v.sbus_reset = pal_hw_sbus_reset;
    v.ring_db16 = pal_hw_ring_db16;
    v.ring_db32 = pal_hw_ring_db32;
    v.ring_db64 = pal_hw_ring_db64;
    v.physical_addr_to_virtual_addr = pal_hw_ptov;
    v.virtual_addr_to_physical_addr = pal_hw_vtop;
    v.mem_unmap = pal_hw_mem_unmap;
    v.get_sub_asic = ::pal_get_sub_asic;
    v.is_mem_region_avail = ::pal_is_mem_region_avail;
}

}  // namespace sdk::lib
