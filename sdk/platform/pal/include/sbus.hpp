// Serial-bus (sbus) access on the card's rings, through the sbus device when
// it exists, else through the ring's command and data registers. Each ring is
// serialised across processes by its PAL lock.
#pragma once

#include <cstdint>

inline constexpr uint32_t k_sbus_num_rings = 4;

// Value of the register, 0 on failure.
uint32_t pal_sbus_rd(uint32_t ring, uint32_t sbus_addr, uint32_t reg);
void pal_sbus_wr(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value);
void pal_sbus_rst(uint32_t ring, uint32_t sbus_addr);
