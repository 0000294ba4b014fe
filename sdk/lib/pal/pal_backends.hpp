// Backend initialisers and teardowns chosen by pal_init/pal_teardown.
#pragma once

#include "sdk/lib/pal/pal_types.hpp"

namespace sdk::lib {

// Host x86-64 server reaching the card over PCIe (platform type 7).
pal_ret_t pal_hw_x86_64_init();

// Software running on the card (platform types 2 and 3).
pal_ret_t pal_hw_init();

// JTAG adapter library loaded at run time (platform type 1 only).
pal_ret_t pal_init_j2c_internal(sdk::platform::platform_type_t type,
                                sdk::types::dp_mem_layout_s* layout);
pal_ret_t pal_teardown_j2c_internal(sdk::platform::platform_type_t type);
void pal_j2c_init_rwvectors();

// Card console over TCP (platform types 3 and 7).
pal_ret_t pal_init_telnet_internal(sdk::platform::platform_type_t type,
                                   sdk::types::dp_mem_layout_s* layout);
pal_ret_t pal_teardown_telnet_internal(sdk::platform::platform_type_t type);
void pal_telnet_init_rwvectors();

}  // namespace sdk::lib
