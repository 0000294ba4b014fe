// The daemon's global monitor state and its health-checker loop.
#pragma once

#include "monitor/talonmon_config.hpp"
#include "sdk/types.hpp"

#include <atomic>
#include <cstdint>
#include <string>

// Tick periods of the two loops (one tick is about k_tick_us microseconds);
// set by talonmon_init before any thread starts, read-only afterwards.
inline constexpr uint64_t k_tick_us = 100;
extern uint64_t g_card_discovery_ticks;
extern uint64_t g_lif_discovery_ticks;
extern uint64_t g_port_discovery_ticks;
extern uint64_t g_liveness_poll_ticks;
extern uint64_t g_lif_poll_ticks;
extern uint64_t g_port_poll_ticks;

inline constexpr uint64_t k_card_discovery_ticks = 300000;
inline constexpr uint64_t k_lif_discovery_ticks = 600000;
inline constexpr uint64_t k_port_discovery_ticks = 36000000;

class talonmon_state {
public:
    talonmon_state() = default;
    talonmon_state(const talonmon_state &) = delete;
    talonmon_state &operator=(const talonmon_state &) = delete;

    // Sets `running` and starts the pipeline; 0 or the pipeline's status.
    sdk::sdk_ret_t init(talonmon_init_params_s *params);

    bool running() const { return running_.load(); }
    void set_running(bool running) { running_.store(running); }
    const std::string &telemetry_dir() const { return telemetry_dir_; }

private:
    std::string telemetry_dir_;
    // Written by the signal handler, read by every loop; lock-free.
    std::atomic<bool> running_{false};
};

extern talonmon_state g_talonmon_state;

// Sets the tick periods, starts the trace log and the monitor state, runs the
// health-checker thread and returns when it has ended: 0, or the first
// non-zero status of the start-up.
int talonmon_init(talonmon_init_params_s *params);

// The health-checker thread function; returns when `running` is cleared.
void *talonmon_health_checker(void *arg);
