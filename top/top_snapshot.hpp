// One reading of the daemon's view of the host: its cards, their state and
// the raw counter values of their LIFs and ports, as the metrics endpoint or
// the telemetry files give them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class top_entity_kind_e { lif, port };

// The counter of that name in the daemon's vocabulary (static storage, so a
// name is held without an allocation), or nothing for a name it does not have.
std::optional<std::string_view> top_known_counter(top_entity_kind_e kind, std::string_view name);

struct top_counter_s {
    std::string_view name;  // from top_known_counter
    // A running count: the raw reading of a cumulative counter, or the sum of
    // the changes a delta counter reported since the source began reading.
    uint64_t value = 0;
    // As configured: false for a counter whose telemetry lines carry changes.
    bool cumulative = true;
    // Seconds (wall clock) the value was sampled at, where the source says
    // (telemetry lines carry a time stamp); else the card's last sample.
    std::optional<double> sampled_at;
    // A new series (the daemon started again): no rate across a change.
    uint64_t epoch = 0;
    // Running count of passes whose change the source cannot see (below the
    // counter's threshold): a rate over a span where it grew is a lower bound.
    uint64_t missed = 0;
};

struct top_entity_s {
    top_entity_kind_e kind = top_entity_kind_e::lif;
    std::string name;
    std::string uuid;
    std::vector<top_counter_s> counters;
};

// An entity named by views (into a scrape, or into an entity's own
// strings), for hashed look-ups that build no string.
struct top_entity_ref_s {
    top_entity_kind_e kind = top_entity_kind_e::lif;
    std::string_view name;
    std::string_view uuid;
    bool operator==(const top_entity_ref_s &) const = default;
};

struct top_entity_ref_hash {
    size_t operator()(const top_entity_ref_s &e) const {
        constexpr size_t k_mix = 31;
        const size_t h = std::hash<std::string_view>{}(e.uuid) * k_mix + std::hash<std::string_view>{}(e.name);
        return h ^ static_cast<size_t>(e.kind);
    }
};

// The entity of `kind` with `name` and `uuid` in `entities`, appended when
// it is not there yet. Works on any entity type with those three members.
template <typename Entity>
Entity &top_find_or_add_entity(std::vector<Entity> &entities, top_entity_kind_e kind, const std::string &name,
                               const std::string &uuid) {
    for (Entity &entity : entities) {
        if (entity.kind == kind && entity.uuid == uuid && entity.name == name) {
            return entity;
        }
    }
    Entity &added = entities.emplace_back();
    added.kind = kind;
    added.name = name;
    added.uuid = uuid;
    return added;
}

enum class top_card_state_e { unknown, up, down };

struct top_card_s {
    std::string bdf;
    std::string uuid;
    top_card_state_e state = top_card_state_e::unknown;
    // Wall-clock seconds of the last up/down change, where the source says.
    std::optional<double> state_since;
    std::optional<uint64_t> passes;
    std::optional<uint64_t> overruns;
    std::optional<uint64_t> failed_reads;
    // Wall-clock seconds of the card's last sampling pass, where the source
    // says (talon_card_last_sample_timestamp_seconds).
    std::optional<double> last_sample;
    // The same for the passes that sampled its LIFs, and its ports, where the
    // source tells them apart: each kind's counters are timed by its own.
    std::optional<double> last_lif_sample;
    std::optional<double> last_port_sample;
    std::vector<top_entity_s> entities;
};

struct top_snapshot_s {
    double wall = 0;       // seconds since the epoch when taken
    double monotonic = 0;  // seconds on the monotonic clock when taken
    std::vector<top_card_s> cards;
    // The daemon's start (process_start_time_seconds): a change is a restart.
    std::optional<double> daemon_start;
};
