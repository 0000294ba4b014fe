#include "top/top_config.hpp"

#include "monitor/counter_catalogue.hpp"
#include "monitor/talonmon_config.hpp"
#include "top/top_snapshot.hpp"

#include <unistd.h>

namespace {

constexpr double k_us_per_second = 1e6;

void add_counters(const std::vector<talonmon_telemetry_counter_cfg_s> &list, const std::string &kind,
                  top_config_s &config) {
    for (const talonmon_telemetry_counter_cfg_s &c : list) {
        config.counters[kind + "/" + c.counter] = {c.cumulative, c.threshold, c.stats_record};
    }
}

}  // namespace

top_config_s::top_config_s()
    : telemetry_dir(k_default_telemetry_dir),
      lif_period(static_cast<double>(k_default_lif_poll_interval_us) / k_us_per_second),
      port_period(static_cast<double>(k_default_port_poll_interval_us) / k_us_per_second) {}

top_counter_cfg_s top_config_s::counter(const std::string &kind, const std::string &name) const {
    const auto it = counters.find(kind + "/" + name);
    return it == counters.end() ? top_counter_cfg_s{} : it->second;
}

std::string top_read_config(const std::string &path, top_config_s &config) {
    if (::access(path.c_str(), R_OK) != 0) {
        return path + ": cannot be read";
    }
    talonmon_init_params_s params;
    if (parse_config_from_json(path, params) != 0) {
        return path + ": not a configuration the daemon accepts";
    }
    if (params.prometheus_listen) {
        config.listen = params.prometheus_listen_text;
    }
    config.telemetry_dir = params.telemetry_dir;
    config.lif_period = static_cast<double>(params.lif_poll_interval) / k_us_per_second;
    config.port_period = static_cast<double>(params.port_poll_interval) / k_us_per_second;
    add_counters(params.lif_counters, "lif", config);
    add_counters(params.port_counters, "port", config);
    return {};
}

std::optional<std::string_view> top_known_counter(top_entity_kind_e kind, std::string_view name) {
    auto find = [name](const auto &defs) -> std::optional<std::string_view> {
        for (const talonmon_counter_def_s &def : defs) {
            if (def.name == name) {
                return def.name;
            }
        }
        return std::nullopt;
    };
    return kind == top_entity_kind_e::lif ? find(k_lif_counter_defs) : find(k_port_counter_defs);
}
