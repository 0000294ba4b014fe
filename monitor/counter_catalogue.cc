#include "monitor/counter_catalogue.hpp"

namespace {

template <typename Defs>
talonmon_counter_map_t build_map(const Defs &defs) {
    talonmon_counter_map_t map;
    for (const auto &def : defs) {
        map.emplace(std::string(def.name), def.offset);
    }
    return map;
}

}  // namespace

const talonmon_counter_map_t lif_counter_map = build_map(k_lif_counter_defs);
const talonmon_counter_map_t port_counter_map = build_map(k_port_counter_defs);
const talonmon_counter_map_t card_counter_map;
