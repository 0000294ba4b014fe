// Start-up parameters of the daemon and the reader of its JSON configuration.
#pragma once

#include "monitor/metrics/talonmon_listen_address.hpp"

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A counter entry without "cumulative" reports raw readings.
inline constexpr bool k_counter_cumulative_default = true;

// One monitored counter as configured.
struct talonmon_telemetry_counter_cfg_s {
    std::string counter;
    bool cumulative = k_counter_cumulative_default;
    uint64_t threshold = 0;
    bool event_record = false;
    bool stats_record = false;
    // Its rate over each sampling pass also goes into a histogram on the
    // metrics endpoint.
    bool histogram = false;
};

// How a worker waits between its ticks: spinning on its processor, or
// sleeping until the next tick on which some kind is due.
enum talonmon_tick_mode_e : uint32_t {
    TALONMON_TICK_MODE_SPIN = 0,
    TALONMON_TICK_MODE_SLEEP = 1,
};

struct talonmon_init_params_s {
    std::string log_dir;
    std::string telemetry_dir;
    uint64_t card_liveness_poll_interval = 0;  // microseconds
    talonmon_tick_mode_e tick_mode = TALONMON_TICK_MODE_SPIN;
    uint64_t lif_poll_interval = 0;            // microseconds
    std::vector<talonmon_telemetry_counter_cfg_s> lif_counters;
    uint64_t port_poll_interval = 0;  // microseconds
    std::vector<talonmon_telemetry_counter_cfg_s> port_counters;
    uint64_t card_poll_interval = 0;
    std::vector<talonmon_telemetry_counter_cfg_s> card_counters;
    // The metrics endpoint's address ("prometheus.listen"); none: no endpoint.
    std::optional<talonmon_listen_address_s> prometheus_listen;
    std::string prometheus_listen_text;
};

inline constexpr const char *k_default_log_dir = "/var/log";
inline constexpr const char *k_default_telemetry_dir = "/var/run";
inline constexpr uint64_t k_default_liveness_poll_interval_us = 1000000;
inline constexpr uint64_t k_default_lif_poll_interval_us = 100000;
inline constexpr uint64_t k_default_port_poll_interval_us = 100000;
// Smallest interval: one tick of the daemon's loops.
inline constexpr uint64_t k_min_interval_us = 100;
// Deepest nesting of objects and arrays a configuration file may have.
inline constexpr size_t k_max_config_depth = 64;

// Reads the configuration file into params. Returns 0, or 255 after writing
// one message to standard error.
int parse_config_from_json(const std::string &path, talonmon_init_params_s &params);

// Appends one entry per child of `counters`; `type` ("lif" or "port") names
// the list in messages. Returns 0, or 255 after writing one message.
int parse_counter_list(const boost::property_tree::ptree &counters, std::vector<talonmon_telemetry_counter_cfg_s> &out,
                       const std::string &type);

// The positions of the counters that ask for a rate histogram; a counter
// named twice gets one, at its first position that asks.
std::vector<size_t> talonmon_histogram_positions(const std::vector<talonmon_telemetry_counter_cfg_s> &counters);
