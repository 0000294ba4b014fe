// The per-card worker thread: samples the card's LIFs and ports on a
// 100-microsecond tick until the daemon stops or the health checker ends it.
#pragma once

#include "monitor/talonmon_config.hpp"

#include <cstdint>
#include <string>

struct aml_card_handle_s;

inline constexpr uint64_t k_granular_monitor_interval_ns = 100000;
inline constexpr uint64_t k_min_wait_after_overrun_ns = 1000;
inline constexpr uint64_t k_sampling_report_period_ns = 60000000000;

// How the workers wait between ticks; set by talonmon_init before any
// worker starts, read-only afterwards.
extern talonmon_tick_mode_e g_tick_mode;
// Period of each worker's sampling summary in the trace log.
extern uint64_t g_sampling_report_period_ns;

// Thread entry; `arg` is the card's talonmon_card_ctxt_s. Returns null.
void *talonmon_worker(void *arg);

// Starts the platform access of the calling thread for `card`: 0 or 255.
// On failure `cause`, when given, says why ("err : N (what failed)"); the
// caller logs it.
int talonmon_card_sdk_init(aml_card_handle_s *card, std::string *cause = nullptr);
