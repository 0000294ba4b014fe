#include "top/top_config.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace pt = boost::property_tree;

namespace {

void read_counters(const pt::ptree &tree, const std::string &kind, top_config_s &config) {
    const auto list = tree.get_child_optional("filter." + kind + ".counters");
    if (!list) {
        return;
    }
    for (const auto &[key, entry] : *list) {
        const auto name = entry.get_optional<std::string>("counter");
        if (!name) {
            continue;
        }
        // As the daemon reads it: absent means cumulative; only "true" is true.
        const auto cumulative = entry.get_optional<std::string>("cumulative");
        config.cumulative[kind + "/" + *name] = !cumulative || *cumulative == "true";
    }
}

}  // namespace

bool top_config_s::is_cumulative(const std::string &kind, const std::string &counter) const {
    const auto it = cumulative.find(kind + "/" + counter);
    return it == cumulative.end() || it->second;
}

std::string top_read_config(const std::string &path, top_config_s &config) {
    pt::ptree tree;
    try {
        pt::read_json(path, tree);
    } catch (const pt::json_parser_error &e) {
        return e.message() == "cannot open file" ? path + ": cannot be read" : path + ": " + e.what();
    }
    if (auto listen = tree.get_optional<std::string>("prometheus.listen"); listen && !listen->empty()) {
        config.listen = *listen;
    }
    if (auto dir = tree.get_optional<std::string>("telemetry_dir"); dir && !dir->empty()) {
        config.telemetry_dir = *dir;
    }
    read_counters(tree, "lif", config);
    read_counters(tree, "port", config);
    return {};
}
