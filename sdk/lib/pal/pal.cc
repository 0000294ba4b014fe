#include "sdk/lib/pal/pal.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "logger/logger.hpp"
#include "sdk/lib/pal/pal_backends.hpp"

namespace sdk::lib {

pal_info_s gl_pal_info;

namespace {

using sdk::platform::platform_type_t;

// Life of the operation table, changed only by compare-and-swap. One word
// holds both "claimed" and "complete" so that a teardown can never land
// between an initialiser's two stores: threads that lose the race to fill
// the table wait while it is being filled, and a teardown waits for the fill
// to finish before it tears the backend down.
enum pal_state_e : uint32_t { pal_state_uninit = 0, pal_state_filling = 1, pal_state_ready = 2 };
std::atomic<uint32_t> gl_pal_state{pal_state_uninit};

// The state once no initialiser is filling the table.
uint32_t pal_wait_filled() {
    uint32_t s = gl_pal_state.load(std::memory_order_acquire);
    while (s == pal_state_filling) {
        gl_pal_state.wait(s, std::memory_order_acquire);
        s = gl_pal_state.load(std::memory_order_acquire);
    }
    return s;
}

enum class pal_backend_e { j2c, telnet, local };

pal_backend_e pal_choose_backend() {
    if (getenv("PAL_J2C_PORT") != nullptr) {
        return pal_backend_e::j2c;
    }
    if (getenv("PAL_TELNET_PORT") != nullptr && getenv("PAL_TELNET_IPADDR") != nullptr) {
        return pal_backend_e::telnet;
    }
    return pal_backend_e::local;
}

pal_ret_t pal_init_local(platform_type_t type) {
    switch (type) {
    case sdk::platform::PLATFORM_TYPE_HW:
    case sdk::platform::PLATFORM_TYPE_HW_ALT:
        return pal_hw_init();
    case sdk::platform::PLATFORM_TYPE_X86_64:
        return pal_hw_x86_64_init();
    default:
        return PAL_RET_NOK;
    }
}

// Result reported by an operation whose slot no backend filled.
template <typename R>
R pal_empty_slot_result() {
    if constexpr (std::is_void_v<R>) {
        return;
    } else if constexpr (std::is_same_v<R, bool>) {
        return false;
    } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_signed_v<R>) {
        return -1;
    } else {
        return PAL_RET_NOK;
    }
}

template <auto slot, typename... Args>
auto pal_forward(const char* name, Args... args) {
    auto fn = gl_pal_info.rwvecs.*slot;
    using result_t = decltype(fn(args...));
    if (fn == nullptr) {
        LOGGER_ERR("PAL operation %s is not available on this platform", name);
        return pal_empty_slot_result<result_t>();
    }
    return fn(args...);
}

}  // namespace

pal_ret_t pal_init(platform_type_t type, sdk::types::dp_mem_layout_s* layout) {
    uint32_t expected = pal_state_uninit;
    if (!gl_pal_state.compare_exchange_strong(expected, pal_state_filling, std::memory_order_acq_rel)) {
        pal_wait_filled();
        return PAL_RET_OK;
    }
    gl_pal_info = pal_info_s{};
    gl_pal_info.platform_type = type;
    pal_default_init();

    pal_ret_t rv;
    switch (pal_choose_backend()) {
    case pal_backend_e::j2c:
        rv = pal_init_j2c_internal(type, layout);
        break;
    case pal_backend_e::telnet:
        rv = pal_init_telnet_internal(type, layout);
        break;
    default:
        rv = pal_init_local(type);
        break;
    }
    gl_pal_state.store(pal_state_ready, std::memory_order_release);
    gl_pal_state.notify_all();
    if (rv != PAL_RET_OK) {
        LOGGER_ERR("Failed to initialize PAL for platform type %u, err %u", type, rv);
        return rv;
    }
    return PAL_RET_OK;
}

pal_ret_t pal_teardown(platform_type_t type) {
    uint32_t expected = pal_wait_filled();
    do {
        if (expected != pal_state_ready) {
            return PAL_RET_OK;
        }
    } while (!gl_pal_state.compare_exchange_weak(expected, pal_state_uninit, std::memory_order_acq_rel));
    pal_ret_t rv = PAL_RET_OK;
    switch (pal_choose_backend()) {
    case pal_backend_e::j2c:
        rv = pal_teardown_j2c_internal(type);
        break;
    case pal_backend_e::telnet:
        rv = pal_teardown_telnet_internal(type);
        break;
    default:
        break;
    }
    if (rv != PAL_RET_OK) {
        LOGGER_ERR("Failed to teardown PAL for platform type %d, err %d", static_cast<int>(type),
                   static_cast<int>(rv));
    }
    return rv;
}

platform_type_t pal_get_platform_type() { return gl_pal_info.platform_type; }

#define PAL_FORWARD(slot, ...) pal_forward<&pal_rwvecs_s::slot>(__func__ __VA_OPT__(, ) __VA_ARGS__)

pal_ret_t pal_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words) {
    return PAL_FORWARD(reg_read, addr, data, num_words);
}
pal_ret_t pal_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words) {
    return PAL_FORWARD(reg_write, addr, data, num_words);
}
pal_ret_t pal_sbus_read(uint32_t ring, uint32_t sbus_addr, uint32_t reg) {
    return PAL_FORWARD(sbus_read, ring, sbus_addr, reg);
}
pal_ret_t pal_sbus_write(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value) {
    return PAL_FORWARD(sbus_write, ring, sbus_addr, reg, value);
}
pal_ret_t pal_sbus_reset(uint32_t ring, uint32_t sbus_addr) {
    return PAL_FORWARD(sbus_reset, ring, sbus_addr);
}
pal_ret_t pal_mem_read(uint64_t addr, uint8_t* data, uint64_t size, uint32_t flags) {
    return PAL_FORWARD(mem_read, addr, data, size, flags);
}
pal_ret_t pal_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags) {
    return PAL_FORWARD(mem_write, addr, data, size, flags);
}
pal_ret_t pal_ring_db16(uint64_t addr, uint16_t data) { return PAL_FORWARD(ring_db16, addr, data); }
pal_ret_t pal_ring_db32(uint64_t addr, uint32_t data) { return PAL_FORWARD(ring_db32, addr, data); }
pal_ret_t pal_ring_db64(uint64_t addr, uint64_t data) { return PAL_FORWARD(ring_db64, addr, data); }
pal_ret_t pal_step_cpu_pkt(const uint8_t* pkt, uint32_t len) {
    return PAL_FORWARD(step_cpu_pkt, pkt, len);
}
pal_ret_t pal_physical_addr_to_virtual_addr(uint64_t phy_addr, uint64_t* virtual_addr) {
    return PAL_FORWARD(physical_addr_to_virtual_addr, phy_addr, virtual_addr);
}
pal_ret_t pal_virtual_addr_to_physical_addr(uint64_t virtual_addr, uint64_t* phy_addr) {
    return PAL_FORWARD(virtual_addr_to_physical_addr, virtual_addr, phy_addr);
}
pal_ret_t pal_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags) {
    return PAL_FORWARD(mem_set, addr, value, size, flags);
}
bool pal_is_qsfp_port_present(int port) { return PAL_FORWARD(is_qsfp_port_present, port); }
bool pal_is_qsfp_port_reset(int port) { return PAL_FORWARD(is_qsfp_port_reset, port); }
pal_ret_t pal_qsfp_set_port(int port) { return PAL_FORWARD(qsfp_set_port, port); }
pal_ret_t pal_qsfp_reset_port(int port) { return PAL_FORWARD(qsfp_reset_port, port); }
bool pal_is_qsfp_port_power_ctrl_present(int port) {
    return PAL_FORWARD(is_qsfp_port_power_ctrl_present, port);
}
bool pal_is_qsfp_port_powered_up(int port) { return PAL_FORWARD(is_qsfp_port_powered_up, port); }
bool pal_is_qsfp_port_power_failure(int port) {
    return PAL_FORWARD(is_qsfp_port_power_failure, port);
}
bool pal_is_qsfp_presence_intr_pending(int port) {
    return PAL_FORWARD(is_qsfp_presence_intr_pending, port);
}
pal_ret_t pal_qsfp_presence_intr_clear(int port) {
    return PAL_FORWARD(qsfp_presence_intr_clear, port);
}
pal_ret_t pal_qsfp_power_en(int port, bool enable) {
    return PAL_FORWARD(qsfp_power_en, port, enable);
}
pal_ret_t pal_qsfp_set_low_power_mode(int port) {
    return PAL_FORWARD(qsfp_set_low_power_mode, port);
}
pal_ret_t pal_qsfp_reset_low_power_mode(int port) {
    return PAL_FORWARD(qsfp_reset_low_power_mode, port);
}
pal_ret_t pal_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                        uint32_t nretry, uint32_t port) {
    return PAL_FORWARD(qsfp_read, buffer, size, offset, page, nretry, port);
}
pal_ret_t pal_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                         uint32_t nretry, uint32_t port) {
    return PAL_FORWARD(qsfp_write, buffer, size, offset, page, nretry, port);
}
pal_ret_t pal_qsfp_mdio_read(uint16_t* data, uint32_t device, uint32_t reg, uint32_t nretry,
                             uint32_t port) {
    return PAL_FORWARD(qsfp_mdio_read, data, device, reg, nretry, port);
}
pal_ret_t pal_qsfp_mdio_write(uint16_t data, uint32_t device, uint32_t reg, uint32_t nretry,
                              uint32_t port) {
    return PAL_FORWARD(qsfp_mdio_write, data, device, reg, nretry, port);
}
pal_ret_t pal_qsfp_phy_read(uint16_t* data, uint32_t reg, uint32_t nretry, uint32_t port) {
    return PAL_FORWARD(qsfp_phy_read, data, reg, nretry, port);
}
pal_ret_t pal_qsfp_phy_write(uint16_t data, uint32_t reg, uint32_t nretry, uint32_t port) {
    return PAL_FORWARD(qsfp_phy_write, data, reg, nretry, port);
}
void* pal_mem_map(uint64_t pa, uint32_t size) { return PAL_FORWARD(mem_map, pa, size); }
void pal_mem_unmap(void* ptr) { PAL_FORWARD(mem_unmap, ptr); }
pal_ret_t pal_qsfp_set_led(int port, pal_led_color_t color, pal_led_frequency_t frequency) {
    return PAL_FORWARD(qsfp_set_led, port, color, frequency);
}
int pal_get_cpld_rev() { return PAL_FORWARD(get_cpld_rev); }
int pal_get_cpld_id() { return PAL_FORWARD(get_cpld_id); }
int pal_cpld_write_qsfp_temp(uint32_t temperature, uint32_t port) {
    return PAL_FORWARD(cpld_write_qsfp_temp, temperature, port);
}
pal_ret_t qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t nretry,
                        uint32_t port) {
    return PAL_FORWARD(qsfp_dom_read, buffer, size, offset, nretry, port);
}
pal_ret_t pal_reg_batch_write(uint64_t addr, const uint32_t* data, uint32_t num_words,
                              uint32_t stride, uint32_t flags) {
    return PAL_FORWARD(reg_batch_write, addr, data, num_words, stride, flags);
}
int get_system_led() { return PAL_FORWARD(get_system_led); }
int get_rst_reason() { return PAL_FORWARD(get_rst_reason); }
int pal_get_sub_asic() { return PAL_FORWARD(get_sub_asic); }
int pal_is_mem_region_avail(uint64_t addr, uint64_t size) {
    return PAL_FORWARD(is_mem_region_avail, addr, size);
}
pal_ret_t pal_reg_rw_ctrl(pal_reg_rw_ctrl_s* ctrl) { return PAL_FORWARD(reg_rw_ctrl, ctrl); }

}  // namespace sdk::lib
