// Per-thread capture of register and memory accesses into text and binary
// files, and replay of such captures onto a card.
#pragma once

#include <cstdint>

#include "sdk/lib/pal/pal_types.hpp"

namespace sdk::lib {

// Control operations of pal_reg_rw_ctrl_s::op.
inline constexpr int32_t PAL_RW_CTRL_START_RW = 1;       // record reads and writes, or replay
inline constexpr int32_t PAL_RW_CTRL_START_RD = 2;       // record reads only, or replay
inline constexpr int32_t PAL_RW_CTRL_START_WR = 3;       // record writes only, or replay
inline constexpr int32_t PAL_RW_CTRL_STOP = 4;           // stop recording / end replay suppression
inline constexpr int32_t PAL_RW_CTRL_LABEL = 5;          // insert a label, pause recording
inline constexpr int32_t PAL_RW_CTRL_RESUME = 6;         // resume after a label
inline constexpr int32_t PAL_RW_CTRL_DUMP_INIT = 7;      // remember the capture directory
inline constexpr int32_t PAL_RW_CTRL_REPLAY_INIT = 8;    // remember replay directory and format

// Host backend slot: dispatches one control request. PAL_RET_NOK for an
// unknown operation or a null request.
pal_ret_t pal_rw_dump_ctrl(pal_reg_rw_ctrl_s* ctrl);

// True while the calling thread records and is not paused at a label.
bool pal_rw_recording();
// True after a replay until it is stopped: accesses that would change the
// replayed state are suppressed.
bool pal_rw_replay_active();

// Recording hooks, called by the host access slots while pal_rw_recording().
void reg_read_dump(uint64_t addr, uint32_t value);
// `stride`/`per_stride`: with a non-zero stride the words are groups of
// `per_stride` contiguous words whose starts are `stride` bytes apart.
void reg_write_dump(uint64_t addr, const uint32_t* words, uint32_t count, uint32_t stride,
                    uint32_t per_stride);
void mem_read_dump(uint64_t addr, const uint8_t* bytes, uint64_t size);
void mem_write_dump(uint64_t addr, const uint8_t* bytes, uint64_t size);
void mem_set_dump(uint64_t addr, uint8_t value, uint64_t size);

void rw_dump_init(const char* dir);
void rw_replay_init(const char* dir, const char* fmt);
void reg_rw_dump_start(const char* section, int32_t mode);
void reg_rw_dump_stop();
void reg_rw_replay_start(const char* section);
void rw_label_insert(const char* label);

}  // namespace sdk::lib
