#include "monitor/talonmon_config.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace pt = boost::property_tree;

namespace {

constexpr int k_config_ok = 0;
constexpr int k_config_err = 255;

// A number is read with stream semantics: surrounding white space is
// allowed, anything else makes the value count as absent.
uint64_t get_u64(const pt::ptree &tree, const char *path, uint64_t dflt) {
    auto node = tree.get_child_optional(pt::ptree::path_type(path, '.'));
    if (!node) {
        return dflt;
    }
    const std::string &text = node->data();
    auto first = text.find_first_not_of(" \t\n\r\f\v");
    if (first != std::string::npos && text[first] == '-') {
        return dflt;  // the stream would wrap a negative number around
    }
    std::istringstream in(text);
    uint64_t value = 0;
    in >> value;
    if (in.fail()) {
        return dflt;
    }
    in >> std::ws;
    if (!in.eof()) {
        return dflt;
    }
    return value;
}

// A boolean is true exactly when its text is "true".
bool get_bool(const pt::ptree &tree, const char *path, bool dflt) {
    auto node = tree.get_child_optional(pt::ptree::path_type(path, '.'));
    if (!node) {
        return dflt;
    }
    return node->data() == "true";
}

// Intervals are counted in ticks of k_tick_us microseconds; a shorter one
// would give a period of zero ticks.
int check_interval(const char *key, uint64_t interval_us) {
    if (interval_us < k_min_interval_us) {
        std::fprintf(stderr, "Error - %s must be at least %llu microseconds\n", key,
                     static_cast<unsigned long long>(k_min_interval_us));
        return k_config_err;
    }
    return k_config_ok;
}

}  // namespace

int parse_counter_list(const pt::ptree &counters, std::vector<talonmon_telemetry_counter_cfg_s> &out,
                       const std::string &type) {
    for (const auto &child : counters) {
        const pt::ptree &entry = child.second;
        talonmon_telemetry_counter_cfg_s cfg;
        try {
            cfg.counter = entry.get<std::string>("counter");
        } catch (const pt::ptree_error &e) {
            std::fprintf(stderr, "%s\n", e.what());
            return k_config_err;
        }
        cfg.cumulative = get_bool(entry, "cumulative", true);
        cfg.threshold = get_u64(entry, "threshold.value", 0);
        cfg.event_record = get_bool(entry, "action.event_record", false);
        cfg.stats_record = get_bool(entry, "action.stats_record", false);
        if (!cfg.event_record && !cfg.stats_record) {
            std::fprintf(stderr, "Error - Neither event record nor stats record is selected for %s counter %s\n",
                         type.c_str(), cfg.counter.c_str());
            return k_config_err;
        }
        out.push_back(std::move(cfg));
    }
    return k_config_ok;
}

int parse_config_from_json(const std::string &path, talonmon_init_params_s &params) {
    pt::ptree tree;
    try {
        pt::read_json(path, tree);

        params.log_dir = tree.get<std::string>("log_dir", k_default_log_dir);
        params.telemetry_dir = tree.get<std::string>("telemetry_dir", k_default_telemetry_dir);
        params.card_liveness_poll_interval =
            get_u64(tree, "filter.card.liveness_poll_interval", k_default_liveness_poll_interval_us);
        params.lif_poll_interval = get_u64(tree, "filter.lif.poll_interval", k_default_lif_poll_interval_us);
        params.port_poll_interval = get_u64(tree, "filter.port.poll_interval", k_default_port_poll_interval_us);

        if (check_interval("filter.card.liveness_poll_interval", params.card_liveness_poll_interval) != k_config_ok ||
            check_interval("filter.lif.poll_interval", params.lif_poll_interval) != k_config_ok ||
            check_interval("filter.port.poll_interval", params.port_poll_interval) != k_config_ok) {
            return k_config_err;
        }

        int rc = parse_counter_list(tree.get_child("filter.lif.counters"), params.lif_counters, "lif");
        if (rc != k_config_ok) {
            return rc;
        }
        return parse_counter_list(tree.get_child("filter.port.counters"), params.port_counters, "port");
    } catch (const pt::ptree_error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return k_config_err;
    }
}
