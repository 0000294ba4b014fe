// What talonmon-top needs from the daemon's configuration file: where the
// metrics endpoint listens, where the telemetry files are, and which
// configured counters are cumulative.
#pragma once

#include <map>
#include <optional>
#include <string>

inline constexpr const char *k_top_default_config = "/etc/talonmon.json";
inline constexpr const char *k_top_default_telemetry_dir = "/var/run";

struct top_config_s {
    std::optional<std::string> listen;  // prometheus.listen
    std::string telemetry_dir = k_top_default_telemetry_dir;
    // "lif/<counter>" and "port/<counter>" -> cumulative
    std::map<std::string, bool> cumulative;

    bool is_cumulative(const std::string &kind, const std::string &counter) const;
};

// Reads `path`; returns an empty message on success, else why not.
std::string top_read_config(const std::string &path, top_config_s &config);
