// Pieces shared by the JTAG and telnet development backends.
#pragma once

#include <cstdint>

#include "sdk/lib/pal/pal_types.hpp"

namespace sdk::lib {

// Size of the fixed QSFP module image the remote backends serve.
inline constexpr uint32_t k_pal_remote_qsfp_image_size = 256;

// Copies [offset, offset + size) of the fixed module image; PAL_RET_NOK when
// the range does not lie inside the image.
pal_ret_t pal_remote_qsfp_image_read(uint8_t* buffer, uint32_t size, uint32_t offset);

// Sub-ASIC number named by SUB_ASIC: aster 1, birch 2, cedar 3, dunlin 4, else 0.
int pal_remote_get_sub_asic();

// Fills the slots both remote backends serve the same way.
void pal_remote_init_common_rwvectors();

}  // namespace sdk::lib
