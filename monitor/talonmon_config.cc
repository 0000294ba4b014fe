#include "monitor/talonmon_config.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace pt = boost::property_tree;

namespace {

constexpr int k_config_ok = 0;
constexpr int k_config_err = 255;
constexpr const char *k_space = " \t\n\r\f\v";
constexpr const char *k_prometheus_listen = "listen";

// Text that a JSON number may take: sign, digits, fraction, exponent.
bool looks_like_number(const std::string &text) {
    size_t i = text.find_first_not_of(k_space);
    size_t end = text.find_last_not_of(k_space);
    if (i == std::string::npos) {
        return false;
    }
    ++end;
    auto digits = [&] {
        size_t from = i;
        while (i < end && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i > from;
    };
    if (text[i] == '-' || text[i] == '+') {
        ++i;
    }
    if (!digits()) {
        return false;
    }
    if (i < end && text[i] == '.') {
        ++i;
        if (!digits()) {
            return false;
        }
    }
    if (i < end && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < end && (text[i] == '-' || text[i] == '+')) {
            ++i;
        }
        if (!digits()) {
            return false;
        }
    }
    return i == end;
}

// Typed reads of one object of the file. `prefix` names the object in
// messages ("" for the top level).
class config_reader {
public:
    config_reader(const pt::ptree &tree, std::string prefix) : tree_(tree), prefix_(std::move(prefix)) {}

    // A number is read with stream semantics: surrounding white space is
    // allowed, anything else makes the value count as absent. A number that
    // does not fit (negative, fractional, too large) also takes the default,
    // with a warning naming the key, since the file plainly meant a number.
    int get_u64(const char *path, uint64_t dflt, uint64_t &value) const {
        value = dflt;
        const pt::ptree *node = find_(path);
        if (node == nullptr) {
            return k_config_ok;
        }
        if (check_scalar_(*node, path, "a number") != k_config_ok) {
            return k_config_err;
        }
        const std::string &text = node->data();
        auto first = text.find_first_not_of(k_space);
        bool converted = false;
        uint64_t parsed = 0;
        if (first != std::string::npos && text[first] != '-' && text[first] != '+') {
            std::istringstream in(text);
            in >> parsed;
            converted = !in.fail() && (in >> std::ws).eof();
        }
        if (converted) {
            value = parsed;
        } else if (looks_like_number(text)) {
            std::fprintf(stderr, "Warning - %s: %s is not a whole number from 0 to %llu, using the default %llu\n",
                         key_(path).c_str(), text.c_str(),
                         static_cast<unsigned long long>(std::numeric_limits<uint64_t>::max()),
                         static_cast<unsigned long long>(dflt));
        }
        return k_config_ok;
    }

    // A boolean is true exactly when its text is "true".
    int get_bool(const char *path, bool dflt, bool &value) const {
        value = dflt;
        const pt::ptree *node = find_(path);
        if (node == nullptr) {
            return k_config_ok;
        }
        if (check_scalar_(*node, path, "a boolean") != k_config_ok) {
            return k_config_err;
        }
        value = node->data() == "true";
        return k_config_ok;
    }

    // Strings are used as C strings further down (paths, names in
    // messages): an embedded NUL would silently cut them.
    int get_string(const char *path, const char *dflt, std::string &value) const {
        const pt::ptree *node = find_(path);
        if (node == nullptr) {
            value = dflt;
            return k_config_ok;
        }
        if (check_scalar_(*node, path, "a string") != k_config_ok) {
            return k_config_err;
        }
        value = node->data();
        if (value.find('\0') != std::string::npos) {
            std::fprintf(stderr, "Error - %s must not contain a NUL character\n", key_(path).c_str());
            return k_config_err;
        }
        return k_config_ok;
    }

private:
    const pt::ptree *find_(const char *path) const {
        auto node = tree_.get_child_optional(pt::ptree::path_type(path, '.'));
        return node ? &*node : nullptr;
    }

    std::string key_(const char *path) const { return prefix_.empty() ? path : prefix_ + ": " + path; }

    // An object or array where a single value belongs is a mistake in the
    // file, not an absent value: refuse it rather than use the default.
    int check_scalar_(const pt::ptree &node, const char *path, const char *kind) const {
        if (!node.empty()) {
            std::fprintf(stderr, "Error - %s must be %s\n", key_(path).c_str(), kind);
            return k_config_err;
        }
        return k_config_ok;
    }

    const pt::ptree &tree_;
    std::string prefix_;
};

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

constexpr const char *k_tick_mode_key = "filter.card.tick_mode";
constexpr const char *k_tick_mode_spin = "spin";
constexpr const char *k_tick_mode_sleep = "sleep";

int parse_tick_mode(const config_reader &reader, talonmon_tick_mode_e &mode) {
    std::string text;
    if (reader.get_string(k_tick_mode_key, k_tick_mode_spin, text) != k_config_ok) {
        return k_config_err;
    }
    if (text == k_tick_mode_spin) {
        mode = TALONMON_TICK_MODE_SPIN;
    } else if (text == k_tick_mode_sleep) {
        mode = TALONMON_TICK_MODE_SLEEP;
    } else {
        std::fprintf(stderr, "Error - %s must be \"%s\" or \"%s\", not \"%s\"\n", k_tick_mode_key, k_tick_mode_spin,
                     k_tick_mode_sleep, text.c_str());
        return k_config_err;
    }
    return k_config_ok;
}

// Deepest nesting of objects and arrays in JSON text, strings skipped.
size_t json_depth(const std::string &text) {
    size_t depth = 0;
    size_t deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// Reads and parses the file. The JSON reader recurses once per level, so
// text nested deeper than any configuration needs is refused before it
// can exhaust the stack.
int read_config_tree(const std::string &path, pt::ptree &tree) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        pt::read_json(path, tree);  // reports the file that cannot be opened
        return k_config_ok;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (json_depth(text) > k_max_config_depth) {
        std::fprintf(stderr, "Error - %s: JSON nested deeper than %zu levels\n", path.c_str(), k_max_config_depth);
        return k_config_err;
    }
    std::istringstream in(text);
    try {
        pt::read_json(in, tree);
    } catch (const pt::json_parser_error &e) {
        throw pt::json_parser_error(e.message(), path, e.line());
    }
    return k_config_ok;
}

int parse_counter_entry(const pt::ptree &entry, const std::string &list_key, talonmon_telemetry_counter_cfg_s &cfg) {
    if (entry.empty() && !entry.data().empty()) {
        std::fprintf(stderr, "Error - %s must hold counter entries (objects), not \"%s\"\n", list_key.c_str(),
                     entry.data().c_str());
        return k_config_err;
    }
    entry.get_child("counter");  // throws "No such node (counter)"
    const config_reader reader(entry, list_key);
    if (reader.get_string("counter", "", cfg.counter) != k_config_ok ||
        reader.get_bool("cumulative", k_counter_cumulative_default, cfg.cumulative) != k_config_ok ||
        reader.get_u64("threshold.value", 0, cfg.threshold) != k_config_ok ||
        reader.get_bool("action.event_record", false, cfg.event_record) != k_config_ok ||
        reader.get_bool("action.stats_record", false, cfg.stats_record) != k_config_ok ||
        reader.get_bool("histogram", false, cfg.histogram) != k_config_ok) {
        return k_config_err;
    }
    return k_config_ok;
}

// "prometheus": {"listen": "HOST:PORT"}, or absent.
int parse_prometheus(const pt::ptree &tree, talonmon_init_params_s &params) {
    auto section = tree.get_child_optional("prometheus");
    if (!section) {
        return k_config_ok;
    }
    if (section->empty() && !section->data().empty()) {
        std::fprintf(stderr, "Error - prometheus must be an object with the key \"listen\"\n");
        return k_config_err;
    }
    for (const auto &child : *section) {
        if (child.first != k_prometheus_listen) {
            std::fprintf(stderr, "Error - prometheus: unknown key \"%s\" (the only key is \"listen\")\n",
                         child.first.c_str());
            return k_config_err;
        }
    }
    if (section->count(k_prometheus_listen) != 1) {
        std::fprintf(stderr, "Error - prometheus: \"listen\" must be given once, as \"HOST:PORT\"\n");
        return k_config_err;
    }
    const config_reader reader(*section, "prometheus");
    if (reader.get_string(k_prometheus_listen, "", params.prometheus_listen_text) != k_config_ok) {
        return k_config_err;
    }
    params.prometheus_listen = talonmon_parse_listen_address(params.prometheus_listen_text);
    if (!params.prometheus_listen) {
        std::fprintf(stderr,
                     "Error - prometheus.listen: \"%s\" is not HOST:PORT (HOST an IPv4 address or a bracketed "
                     "IPv6 address, PORT 1-65535)\n",
                     params.prometheus_listen_text.c_str());
        return k_config_err;
    }
    if (const auto refusal = talonmon_listen_address_refusal(*params.prometheus_listen)) {
        std::fprintf(stderr,
                     "Error - prometheus.listen: \"%s\" names %s, on which no connection can be accepted\n",
                     params.prometheus_listen_text.c_str(), refusal->c_str());
        params.prometheus_listen.reset();
        return k_config_err;
    }
    return k_config_ok;
}

}  // namespace

int parse_counter_list(const pt::ptree &counters, std::vector<talonmon_telemetry_counter_cfg_s> &out,
                       const std::string &type) {
    const std::string list_key = "filter." + type + ".counters";
    if (counters.empty() && !counters.data().empty()) {
        std::fprintf(stderr, "Error - %s must be an array of counter entries\n", list_key.c_str());
        return k_config_err;
    }
    for (const auto &child : counters) {
        talonmon_telemetry_counter_cfg_s cfg;
        try {
            if (parse_counter_entry(child.second, list_key, cfg) != k_config_ok) {
                return k_config_err;
            }
        } catch (const pt::ptree_error &e) {
            std::fprintf(stderr, "%s\n", e.what());
            return k_config_err;
        }
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
        if (read_config_tree(path, tree) != k_config_ok) {
            return k_config_err;
        }
        const config_reader reader(tree, "");
        if (reader.get_string("log_dir", k_default_log_dir, params.log_dir) != k_config_ok ||
            reader.get_string("telemetry_dir", k_default_telemetry_dir, params.telemetry_dir) != k_config_ok ||
            reader.get_u64("filter.card.liveness_poll_interval", k_default_liveness_poll_interval_us,
                           params.card_liveness_poll_interval) != k_config_ok ||
            parse_tick_mode(reader, params.tick_mode) != k_config_ok ||
            reader.get_u64("filter.lif.poll_interval", k_default_lif_poll_interval_us, params.lif_poll_interval) !=
                k_config_ok ||
            reader.get_u64("filter.port.poll_interval", k_default_port_poll_interval_us,
                           params.port_poll_interval) != k_config_ok) {
            return k_config_err;
        }

        if (check_interval("filter.card.liveness_poll_interval", params.card_liveness_poll_interval) != k_config_ok ||
            check_interval("filter.lif.poll_interval", params.lif_poll_interval) != k_config_ok ||
            check_interval("filter.port.poll_interval", params.port_poll_interval) != k_config_ok) {
            return k_config_err;
        }

        if (parse_prometheus(tree, params) != k_config_ok) {
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

std::vector<size_t> talonmon_histogram_positions(const std::vector<talonmon_telemetry_counter_cfg_s> &counters) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < counters.size(); ++i) {
        const bool named_before = std::any_of(positions.begin(), positions.end(), [&](size_t earlier) {
            return counters[earlier].counter == counters[i].counter;
        });
        if (counters[i].histogram && !named_before) {
            positions.push_back(i);
        }
    }
    return positions;
}
