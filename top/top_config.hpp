// What talonmon-top needs from the daemon's configuration file, read with
// the daemon's own reader and defaults: where the metrics endpoint listens,
// where the telemetry files are, how often counters are sampled and how
// each configured counter is reported.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

inline constexpr const char *k_top_default_config = "/etc/talonmon.json";

struct top_counter_cfg_s {
    bool cumulative = true;
    uint64_t threshold = 0;
    bool stats_record = true;
};

struct top_config_s {
    std::optional<std::string> listen;  // prometheus.listen
    std::string telemetry_dir;
    double lif_period = 0;   // seconds
    double port_period = 0;  // seconds
    // "lif/<counter>" and "port/<counter>"
    std::map<std::string, top_counter_cfg_s> counters;

    top_config_s();
    // As configured; a counter that is not configured counts as cumulative.
    top_counter_cfg_s counter(const std::string &kind, const std::string &name) const;
};

// Reads `path`; returns an empty message on success, else why not (the
// daemon's reader has then written its own message to standard error).
std::string top_read_config(const std::string &path, top_config_s &config);
