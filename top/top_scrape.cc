#include "top/top_scrape.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

constexpr std::string_view k_lif_prefix = "talon_lif_";
constexpr std::string_view k_port_prefix = "talon_port_";
constexpr std::string_view k_total_suffix = "_total";

// A sample value as a counter reading: negative or non-finite values (which
// the daemon never writes) read as 0 rather than wrapping.
uint64_t reading(const top_prom_sample_s &s) {
    if (s.exact) {
        return *s.exact;
    }
    if (!std::isfinite(s.value) || s.value < 0) {
        return 0;
    }
    constexpr double k_two_to_64 = 18446744073709551616.0;
    return s.value >= k_two_to_64 ? UINT64_MAX : static_cast<uint64_t>(s.value);
}

top_card_s &card_of(std::map<std::string, top_card_s> &cards, const top_prom_sample_s &s) {
    const std::string *bdf = s.label("bdf");
    top_card_s &card = cards[*bdf];
    card.bdf = *bdf;
    if (const std::string *uuid = s.label("card_uuid"); uuid && card.uuid.empty()) {
        card.uuid = *uuid;
    }
    return card;
}

void add_reading(top_card_s &card, top_entity_kind_e kind, const std::string &name, const std::string &uuid,
                 std::string counter, uint64_t value) {
    top_find_or_add_entity(card.entities, kind, name, uuid).counters.push_back({std::move(counter), value, true, std::nullopt});
}

}  // namespace

void top_snapshot_from_scrape(std::string_view text, top_snapshot_s &snapshot) {
    const top_prom_parse_s parsed = top_prom_parse(text);
    std::map<std::string, top_card_s> cards;
    for (const top_prom_sample_s &s : parsed.samples) {
        if (s.name == "process_start_time_seconds" && std::isfinite(s.value)) {
            snapshot.daemon_start = s.value;
            continue;
        }
        if (!s.label("bdf")) {
            continue;
        }
        const std::string_view name = s.name;
        if (name == "talon_card_up") {
            card_of(cards, s).state = s.value != 0 ? top_card_state_e::up : top_card_state_e::down;
        } else if (name == "talonmon_sampling_passes_total") {
            card_of(cards, s).passes = reading(s);
        } else if (name == "talonmon_sampling_overruns_total") {
            card_of(cards, s).overruns = reading(s);
        } else if (name.starts_with(k_lif_prefix) || name.starts_with(k_port_prefix)) {
            const bool lif = name.starts_with(k_lif_prefix);
            const std::string *entity = s.label(lif ? "lif" : "port");
            const std::string *uuid = s.label(lif ? "lif_uuid" : "port_uuid");
            if (!entity || !uuid) {
                continue;
            }
            std::string_view counter = name.substr(lif ? k_lif_prefix.size() : k_port_prefix.size());
            if (counter.ends_with(k_total_suffix)) {
                counter.remove_suffix(k_total_suffix.size());
            }
            add_reading(card_of(cards, s), lif ? top_entity_kind_e::lif : top_entity_kind_e::port, *entity, *uuid,
                        std::string(counter), reading(s));
        }
    }
    snapshot.cards.clear();
    for (auto &[bdf, card] : cards) {
        snapshot.cards.push_back(std::move(card));
    }
}
