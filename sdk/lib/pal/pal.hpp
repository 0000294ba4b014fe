// Platform access layer: one process-wide operation table filled once by a
// backend chosen from the platform type and the environment; every public
// operation forwards through its slot.
#pragma once

#include <cstdint>

#include "sdk/lib/pal/pal_types.hpp"

namespace sdk::lib {

// Operation slots, in table order.
struct pal_rwvecs_s {
    pal_ret_t (*reg_read)(uint64_t addr, uint32_t* data, uint32_t num_words);
    pal_ret_t (*reg_write)(uint64_t addr, const uint32_t* data, uint32_t num_words);
    pal_ret_t (*sbus_read)(uint32_t ring, uint32_t sbus_addr, uint32_t reg);
    pal_ret_t (*sbus_write)(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value);
    pal_ret_t (*sbus_reset)(uint32_t ring, uint32_t sbus_addr);
    pal_ret_t (*mem_read)(uint64_t addr, uint8_t* data, uint64_t size, uint32_t flags);
    pal_ret_t (*mem_write)(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags);
    pal_ret_t (*ring_db16)(uint64_t addr, uint16_t data);
    pal_ret_t (*ring_db32)(uint64_t addr, uint32_t data);
    pal_ret_t (*ring_db64)(uint64_t addr, uint64_t data);
    pal_ret_t (*step_cpu_pkt)(const uint8_t* pkt, uint32_t len);
    pal_ret_t (*physical_addr_to_virtual_addr)(uint64_t phy_addr, uint64_t* virtual_addr);
    pal_ret_t (*virtual_addr_to_physical_addr)(uint64_t virtual_addr, uint64_t* phy_addr);
    pal_ret_t (*mem_set)(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags);
    bool (*is_qsfp_port_present)(int port);
    bool (*is_qsfp_port_reset)(int port);
    pal_ret_t (*qsfp_set_port)(int port);
    pal_ret_t (*qsfp_reset_port)(int port);
    bool (*is_qsfp_port_power_ctrl_present)(int port);
    bool (*is_qsfp_port_powered_up)(int port);
    bool (*is_qsfp_port_power_failure)(int port);
    bool (*is_qsfp_presence_intr_pending)(int port);
    pal_ret_t (*qsfp_presence_intr_clear)(int port);
    pal_ret_t (*qsfp_power_en)(int port, bool enable);
    pal_ret_t (*qsfp_set_low_power_mode)(int port);
    pal_ret_t (*qsfp_reset_low_power_mode)(int port);
    pal_ret_t (*qsfp_read)(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                           uint32_t nretry, uint32_t port);
    pal_ret_t (*qsfp_write)(const uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                            uint32_t nretry, uint32_t port);
    pal_ret_t (*qsfp_mdio_read)(uint16_t* data, uint32_t device, uint32_t reg, uint32_t nretry,
                                uint32_t port);
    pal_ret_t (*qsfp_mdio_write)(uint16_t data, uint32_t device, uint32_t reg, uint32_t nretry,
                                 uint32_t port);
    pal_ret_t (*qsfp_phy_read)(uint16_t* data, uint32_t reg, uint32_t nretry, uint32_t port);
    pal_ret_t (*qsfp_phy_write)(uint16_t data, uint32_t reg, uint32_t nretry, uint32_t port);
    void* (*mem_map)(uint64_t pa, uint32_t size);
    void (*mem_unmap)(void* ptr);
    pal_ret_t (*qsfp_set_led)(int port, pal_led_color_t color, pal_led_frequency_t frequency);
    int (*get_cpld_rev)();
    int (*get_cpld_id)();
    int (*cpld_write_qsfp_temp)(uint32_t temperature, uint32_t port);
    pal_ret_t (*qsfp_dom_read)(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t nretry,
                               uint32_t port);
    pal_ret_t (*reg_batch_write)(uint64_t addr, const uint32_t* data, uint32_t num_words,
                                 uint32_t stride, uint32_t flags);
    int (*get_system_led)();
    int (*get_rst_reason)();
    int (*get_sub_asic)();
    int (*is_mem_region_avail)(uint64_t addr, uint64_t size);
    pal_ret_t (*reg_rw_ctrl)(pal_reg_rw_ctrl_s* ctrl);
};

inline constexpr unsigned k_pal_num_slots = 45;
static_assert(sizeof(pal_rwvecs_s) == k_pal_num_slots * sizeof(void*));

struct pal_info_s {
    sdk::platform::platform_type_t platform_type;
    pal_rwvecs_s rwvecs;
};

// The process-wide operation table. Written only inside pal_init; complete
// before pal_init returns in any thread.
extern pal_info_s gl_pal_info;

// Fills the table once per process (later calls are no-ops returning
// PAL_RET_OK). Returns the chosen backend's result, or 1 for an unknown type.
pal_ret_t pal_init(sdk::platform::platform_type_t type, sdk::types::dp_mem_layout_s* layout);
pal_ret_t pal_teardown(sdk::platform::platform_type_t type);

sdk::platform::platform_type_t pal_get_platform_type();

// Fill the default slots (each logs one debug line and returns a fixed value).
void pal_default_init();
void pal_default_init_rwvectors();

// Forwarders. An operation whose slot is empty logs an error and returns a
// failure: PAL_RET_NOK, false, -1 or null according to the result type.
pal_ret_t pal_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words = 1);
pal_ret_t pal_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words = 1);
pal_ret_t pal_sbus_read(uint32_t ring, uint32_t sbus_addr, uint32_t reg);
pal_ret_t pal_sbus_write(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value);
pal_ret_t pal_sbus_reset(uint32_t ring, uint32_t sbus_addr);
pal_ret_t pal_mem_read(uint64_t addr, uint8_t* data, uint64_t size, uint32_t flags = 0);
pal_ret_t pal_mem_write(uint64_t addr, const uint8_t* data, uint64_t size, uint32_t flags = 0);
pal_ret_t pal_ring_db16(uint64_t addr, uint16_t data);
pal_ret_t pal_ring_db32(uint64_t addr, uint32_t data);
pal_ret_t pal_ring_db64(uint64_t addr, uint64_t data);
pal_ret_t pal_step_cpu_pkt(const uint8_t* pkt, uint32_t len);
pal_ret_t pal_physical_addr_to_virtual_addr(uint64_t phy_addr, uint64_t* virtual_addr);
pal_ret_t pal_virtual_addr_to_physical_addr(uint64_t virtual_addr, uint64_t* phy_addr);
pal_ret_t pal_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags = 0);
bool pal_is_qsfp_port_present(int port);
bool pal_is_qsfp_port_reset(int port);
pal_ret_t pal_qsfp_set_port(int port);
pal_ret_t pal_qsfp_reset_port(int port);
bool pal_is_qsfp_port_power_ctrl_present(int port);
bool pal_is_qsfp_port_powered_up(int port);
bool pal_is_qsfp_port_power_failure(int port);
bool pal_is_qsfp_presence_intr_pending(int port);
pal_ret_t pal_qsfp_presence_intr_clear(int port);
pal_ret_t pal_qsfp_power_en(int port, bool enable);
pal_ret_t pal_qsfp_set_low_power_mode(int port);
pal_ret_t pal_qsfp_reset_low_power_mode(int port);
pal_ret_t pal_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                        uint32_t nretry, uint32_t port);
pal_ret_t pal_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t page,
                         uint32_t nretry, uint32_t port);
pal_ret_t pal_qsfp_mdio_read(uint16_t* data, uint32_t device, uint32_t reg, uint32_t nretry,
                             uint32_t port);
pal_ret_t pal_qsfp_mdio_write(uint16_t data, uint32_t device, uint32_t reg, uint32_t nretry,
                              uint32_t port);
pal_ret_t pal_qsfp_phy_read(uint16_t* data, uint32_t reg, uint32_t nretry, uint32_t port);
pal_ret_t pal_qsfp_phy_write(uint16_t data, uint32_t reg, uint32_t nretry, uint32_t port);
void* pal_mem_map(uint64_t pa, uint32_t size);
void pal_mem_unmap(void* ptr);
pal_ret_t pal_qsfp_set_led(int port, pal_led_color_t color, pal_led_frequency_t frequency);
int pal_get_cpld_rev();
int pal_get_cpld_id();
int pal_cpld_write_qsfp_temp(uint32_t temperature, uint32_t port);
pal_ret_t qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t nretry,
                        uint32_t port);
pal_ret_t pal_reg_batch_write(uint64_t addr, const uint32_t* data, uint32_t num_words,
                              uint32_t stride, uint32_t flags);
int get_system_led();
int get_rst_reason();
int pal_get_sub_asic();
int pal_is_mem_region_avail(uint64_t addr, uint64_t size);
pal_ret_t pal_reg_rw_ctrl(pal_reg_rw_ctrl_s* ctrl);

}  // namespace sdk::lib
