#include "top/top_scrape.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::string_view k_lif_prefix = "talon_lif_";
constexpr std::string_view k_port_prefix = "talon_port_";
constexpr std::string_view k_total_suffix = "_total";
// Counters an entity has at most with every LIF counter configured: room
// for them is made at once.
constexpr size_t k_expected_counters = 8;
// Lines between two looks at the cancel flag.
constexpr size_t k_cancel_check_lines = 4096;

// A sample value as a counter reading: negative or non-finite values (which
// the daemon never writes) read as 0 rather than wrapping.
uint64_t reading(const top_prom_line_s &s) {
    if (s.exact) {
        return *s.exact;
    }
    if (!std::isfinite(s.value) || s.value < 0) {
        return 0;
    }
    constexpr double k_two_to_64 = 18446744073709551616.0;
    return s.value >= k_two_to_64 ? UINT64_MAX : static_cast<uint64_t>(s.value);
}

std::string owned(std::string_view raw, bool escaped) {
    return escaped ? top_prom_unescape(raw) : std::string(raw);
}

// A card's entities as the scrape names them, in the order of the card's
// entity list, with an open-addressing hash index over them: one array of
// positions, grown by doubling, rather than a node per entity.
class entity_index {
public:
    // Where the entity is in the card's list; `added` when it was not yet.
    size_t find_or_add(const top_entity_ref_s &ref, bool &added) {
        added = false;
        // Each family lists the entities in the same order.
        if (next_ < refs_.size() && refs_[next_] == ref) {
            return next_++;
        }
        if ((refs_.size() + 1) * k_max_load_inverse > slots_.size()) {
            grow();
        }
        size_t slot = top_entity_ref_hash{}(ref) & (slots_.size() - 1);
        while (slots_[slot] != k_empty && refs_[slots_[slot]] != ref) {
            slot = (slot + 1) & (slots_.size() - 1);
        }
        if (slots_[slot] == k_empty) {
            slots_[slot] = refs_.size();
            refs_.push_back(ref);
            added = true;
        }
        next_ = slots_[slot] + 1;
        return slots_[slot];
    }

private:
    static constexpr size_t k_empty = SIZE_MAX;
    static constexpr size_t k_max_load_inverse = 2;  // at most half full
    static constexpr size_t k_first_slots = 64;

    void grow() {
        slots_.assign(std::max(k_first_slots, slots_.size() * 2), k_empty);
        for (size_t i = 0; i < refs_.size(); ++i) {
            size_t slot = top_entity_ref_hash{}(refs_[i]) & (slots_.size() - 1);
            while (slots_[slot] != k_empty) {
                slot = (slot + 1) & (slots_.size() - 1);
            }
            slots_[slot] = i;
        }
    }

    std::vector<top_entity_ref_s> refs_;
    std::vector<size_t> slots_;  // positions in refs_, or k_empty
    size_t next_ = 0;            // where the next sample's entity likely is
};

struct card_index_s {
    size_t index = 0;
    entity_index entities;
};

// The labels the daemon's metrics are grouped by; empty where a sample does
// not have them (the first of a repeated label counts).
struct line_labels_s {
    std::string_view bdf;
    std::string_view card_uuid;
    std::string_view entity;
    std::string_view entity_uuid;
};

line_labels_s read_labels(const top_prom_line_s &s, top_entity_kind_e kind) {
    const bool lif = kind == top_entity_kind_e::lif;
    line_labels_s out;
    const auto take = [](std::string_view &slot, std::string_view value) {
        if (slot.data() == nullptr) {
            slot = value;
        }
    };
    for (size_t i = 0; i < s.label_count; ++i) {
        const auto &[key, value] = s.labels[i];
        if (key == "bdf") {
            take(out.bdf, value);
        } else if (key == "card_uuid") {
            take(out.card_uuid, value);
        } else if (lif ? key == "lif" : key == "port") {
            take(out.entity, value);
        } else if (lif ? key == "lif_uuid" : key == "port_uuid") {
            take(out.entity_uuid, value);
        }
    }
    return out;
}

// Groups the samples into cards and entities with at most one hashed
// look-up each.
class scrape_reader {
public:
    scrape_reader(top_snapshot_s &snapshot, size_t max_series) : snapshot_(snapshot), max_series_(max_series) {}

    top_scrape_status_e line(const top_prom_line_s &s) {
        if (s.name == "process_start_time_seconds" && std::isfinite(s.value)) {
            snapshot_.daemon_start = s.value;
            return top_scrape_status_e::ok;
        }
        const std::string_view name = s.name;
        const family_s &family = counter_family(s);
        const line_labels_s labels = read_labels(s, family.kind);
        if (labels.bdf.empty()) {
            return top_scrape_status_e::ok;
        }
        if (family.entity) {
            if (labels.entity.empty() || labels.entity_uuid.empty()) {
                return top_scrape_status_e::ok;
            }
            if (++series_ > max_series_) {
                return top_scrape_status_e::too_many_series;
            }
            if (!family.counter) {
                return top_scrape_status_e::ok;  // not a counter of the daemon's
            }
            card_index_s &index = card_index(s, labels);
            top_card_s &c = snapshot_.cards[index.index];
            bool added = false;
            const size_t at =
                index.entities.find_or_add(top_entity_ref_s{family.kind, labels.entity, labels.entity_uuid}, added);
            if (added) {
                top_entity_s &e = c.entities.emplace_back();
                e.counters.reserve(k_expected_counters);
                e.kind = family.kind;
                e.name = owned(labels.entity, s.escaped);
                e.uuid = owned(labels.entity_uuid, s.escaped);
            }
            top_counter_s &value = c.entities[at].counters.emplace_back();
            value.name = *family.counter;
            value.value = reading(s);
        } else if (name == "talon_card_up") {
            card(s, labels).state = s.value != 0 ? top_card_state_e::up : top_card_state_e::down;
        } else if (name == "talon_card_last_sample_timestamp_seconds") {
            if (std::isfinite(s.value) && s.value > 0) {
                card(s, labels).last_sample = s.value;
            }
        } else if (name == "talon_card_last_sample_by_kind_timestamp_seconds") {
            const std::string_view kind = s.label("kind");
            if (std::isfinite(s.value) && s.value > 0 && (kind == "lif" || kind == "port")) {
                top_card_s &c = card(s, labels);
                (kind == "lif" ? c.last_lif_sample : c.last_port_sample) = s.value;
            }
        } else if (name == "talonmon_sampling_passes_total") {
            card(s, labels).passes = reading(s);
        } else if (name == "talonmon_sampling_overruns_total") {
            card(s, labels).overruns = reading(s);
        } else if (name == "talonmon_sampling_failed_reads_total") {
            card(s, labels).failed_reads = reading(s);
        }
        return top_scrape_status_e::ok;
    }

    // The name the next sample most likely has: that of the last family.
    std::string_view expected_name() const { return family_name_; }

    void finish() {
        std::sort(snapshot_.cards.begin(), snapshot_.cards.end(),
                  [](const top_card_s &a, const top_card_s &b) { return a.bdf < b.bdf; });
    }

private:
    // A metric named as a LIF or port family: the entity kind and, where it
    // is a counter of the daemon's, the counter's name.
    struct family_s {
        bool entity = false;  // named as a LIF or port family
        top_entity_kind_e kind = top_entity_kind_e::lif;
        std::optional<std::string_view> counter;
    };

    // The samples of a family come together: the name of the last one is
    // looked up once for all of them.
    const family_s &counter_family(const top_prom_line_s &s) {
        const std::string_view name = s.name;
        if (s.name_expected || name == family_name_) {
            return family_;
        }
        family_name_ = name;
        family_ = {};
        const bool lif = name.starts_with(k_lif_prefix);
        if (!lif && !name.starts_with(k_port_prefix)) {
            return family_;
        }
        std::string_view counter = name.substr(lif ? k_lif_prefix.size() : k_port_prefix.size());
        if (counter.ends_with(k_total_suffix)) {
            counter.remove_suffix(k_total_suffix.size());
        }
        family_.entity = true;
        family_.kind = lif ? top_entity_kind_e::lif : top_entity_kind_e::port;
        family_.counter = top_known_counter(family_.kind, counter);
        return family_;
    }

    card_index_s &card_index(const top_prom_line_s &s, const line_labels_s &labels) {
        const std::string_view bdf = labels.bdf;
        // Consecutive samples are mostly of one card.
        if (last_card_ != nullptr && last_bdf_ == bdf) {
            return *last_card_;
        }
        const auto [it, added] = cards_.try_emplace(bdf);
        if (added) {
            it->second.index = snapshot_.cards.size();
            top_card_s &c = snapshot_.cards.emplace_back();
            c.bdf = owned(bdf, s.escaped);
        }
        top_card_s &c = snapshot_.cards[it->second.index];
        if (c.uuid.empty()) {
            c.uuid = owned(labels.card_uuid, s.escaped);
        }
        last_bdf_ = bdf;
        last_card_ = &it->second;
        return it->second;
    }
    top_card_s &card(const top_prom_line_s &s, const line_labels_s &labels) {
        return snapshot_.cards[card_index(s, labels).index];
    }

    top_snapshot_s &snapshot_;
    size_t max_series_;
    size_t series_ = 0;
    std::unordered_map<std::string_view, card_index_s> cards_;
    std::string_view last_bdf_;
    card_index_s *last_card_ = nullptr;  // stable: the map's nodes do not move
    std::string_view family_name_;
    family_s family_;
};

}  // namespace

top_scrape_status_e top_snapshot_from_scrape(std::string_view text, top_snapshot_s &snapshot,
                                             const std::atomic<bool> *cancel, size_t max_series) {
    snapshot.cards.clear();
    scrape_reader reader(snapshot, max_series);
    top_prom_line_s parsed;
    size_t lines = 0;
    const char *p = text.data();
    const char *const end = p + text.size();
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *line_end = nl ? nl : end;
        std::string_view line(p, static_cast<size_t>(line_end - p));
        p = nl ? nl + 1 : end;
        if (++lines % k_cancel_check_lines == 0 && cancel && cancel->load(std::memory_order_relaxed)) {
            return top_scrape_status_e::cancelled;
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#' || !top_prom_read_line(line, parsed, reader.expected_name())) {
            continue;
        }
        if (const auto status = reader.line(parsed); status != top_scrape_status_e::ok) {
            snapshot.cards.clear();
            return status;
        }
    }
    reader.finish();
    return top_scrape_status_e::ok;
}
