#include "sdk/lib/pal/pal_remote.hpp"

#include <array>
#include <cstdlib>
#include <cstring>

#include "sdk/lib/pal/pal.hpp"

namespace sdk::lib {

namespace {

constexpr uint8_t k_qsfp28_identifier = 0x11;
constexpr size_t k_qsfp_upper_page_off = 128;

constexpr std::array<uint8_t, k_pal_remote_qsfp_image_size> make_qsfp_image() {
    std::array<uint8_t, k_pal_remote_qsfp_image_size> img{};
    img[0] = k_qsfp28_identifier;
    img[k_qsfp_upper_page_off] = k_qsfp28_identifier;
    return img;
}

constexpr auto k_qsfp_image = make_qsfp_image();

pal_ret_t pal_remote_unsupported_mem_read(uint64_t, uint8_t*, uint64_t, uint32_t) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_mem_write(uint64_t, const uint8_t*, uint64_t, uint32_t) {
    return PAL_RET_NOK;
}
pal_ret_t pal_remote_unsupported_db16(uint64_t, uint16_t) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_db32(uint64_t, uint32_t) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_db64(uint64_t, uint64_t) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_step(const uint8_t*, uint32_t) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_translate(uint64_t, uint64_t*) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_sbus_read(uint32_t, uint32_t, uint32_t) { return PAL_RET_NOK; }
pal_ret_t pal_remote_unsupported_sbus_write(uint32_t, uint32_t, uint32_t, uint32_t) {
    return PAL_RET_NOK;
}
pal_ret_t pal_remote_unsupported_sbus_reset(uint32_t, uint32_t) { return PAL_RET_NOK; }
bool pal_remote_unsupported_qsfp_present(int) { return false; }
pal_ret_t pal_remote_mem_set(uint64_t, uint8_t, uint32_t, uint32_t) { return PAL_RET_OK; }
pal_ret_t pal_remote_batch_write(uint64_t, const uint32_t*, uint32_t, uint32_t, uint32_t) {
    return PAL_RET_OK;
}
int pal_remote_zero() { return 0; }
int pal_remote_region_avail(uint64_t, uint64_t) { return 0; }
void* pal_remote_mem_map(uint64_t, uint32_t) { return nullptr; }

}  // namespace

pal_ret_t pal_remote_qsfp_image_read(uint8_t* buffer, uint32_t size, uint32_t offset) {
    if (buffer == nullptr || size > k_pal_remote_qsfp_image_size ||
        offset > k_pal_remote_qsfp_image_size - size) {
        return PAL_RET_NOK;
    }
    memcpy(buffer, k_qsfp_image.data() + offset, size);
    return PAL_RET_OK;
}

int pal_remote_get_sub_asic() {
    const char* v = getenv("SUB_ASIC");
    if (v == nullptr) {
        return 0;
    }
    constexpr std::array<const char*, 4> names{"aster", "birch", "cedar", "dunlin"};
    for (size_t i = 0; i < names.size(); ++i) {
        if (strcmp(v, names[i]) == 0) {
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

void pal_remote_init_common_rwvectors() {
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    v.mem_read = pal_remote_unsupported_mem_read;
    v.mem_write = pal_remote_unsupported_mem_write;
    v.ring_db16 = pal_remote_unsupported_db16;
    v.ring_db32 = pal_remote_unsupported_db32;
    v.ring_db64 = pal_remote_unsupported_db64;
    v.step_cpu_pkt = pal_remote_unsupported_step;
    v.physical_addr_to_virtual_addr = pal_remote_unsupported_translate;
    v.virtual_addr_to_physical_addr = pal_remote_unsupported_translate;
    v.sbus_read = pal_remote_unsupported_sbus_read;
    v.sbus_write = pal_remote_unsupported_sbus_write;
    v.sbus_reset = pal_remote_unsupported_sbus_reset;
    v.is_qsfp_port_present = pal_remote_unsupported_qsfp_present;
    v.mem_set = pal_remote_mem_set;
    v.reg_batch_write = pal_remote_batch_write;
    v.get_system_led = pal_remote_zero;
    v.get_rst_reason = pal_remote_zero;
    v.is_mem_region_avail = pal_remote_region_avail;
    v.mem_map = pal_remote_mem_map;
    v.get_sub_asic = pal_remote_get_sub_asic;
}

}  // namespace sdk::lib
