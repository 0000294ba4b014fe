// Slots both hardware backends (on the card and on an x86-64 host) fill the
// same way: they go straight to the platform functions.
#pragma once

#include "sdk/lib/pal/pal.hpp"

namespace sdk::lib {

// PAL_RET_OK for a platform function's 0, PAL_RET_NOK for anything else.
pal_ret_t pal_ret_of(int rc);

// Fills the sbus, doorbell, address translation and unmapping slots.
void pal_hw_fill_common_slots(pal_rwvecs_s& v);

}  // namespace sdk::lib
