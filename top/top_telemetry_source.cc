#include "top/top_telemetry_source.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

namespace {

constexpr std::string_view k_file_prefix = "card_";
constexpr std::string_view k_stats_suffix = "_stats.log";
constexpr std::string_view k_event_suffix = "_event.log";
constexpr std::string_view k_card_down = "card down detected";
constexpr std::string_view k_card_up = "card up detected";
// A card whose statistics lines are this recent is shown as up when no up
// or down record has been read.
constexpr double k_recent_seconds = 3.0;
// The first line of a file the daemon opens.
constexpr std::string_view k_banner = "*** ";
// Two lines of an entity further apart than this many periods have passes
// between them that the file does not show.
constexpr double k_gap_periods = 1.5;

std::optional<uint64_t> parse_u64(const std::string &text) {
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return v;
}

}  // namespace

bool top_telemetry_source::line_every_pass(const std::string &kind, bool stats_file) const {
    const std::string prefix = kind + "/";
    for (const auto &[key, cfg] : config_.counters) {
        if (key.starts_with(prefix) && cfg.stats_record == stats_file && cfg.threshold == 0) {
            return true;
        }
    }
    return false;
}

std::optional<double> top_parse_timestamp(const std::string &text) {
    std::tm tm{};
    const char *rest = ::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    if (!rest || rest[0] != '.' || std::strlen(rest) != 4 ||
        std::strspn(rest + 1, "0123456789") != 3) {
        return std::nullopt;
    }
    tm.tm_isdst = -1;
    const time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<double>(seconds) + std::atoi(rest + 1) / 1000.0;
}

top_telemetry_source::top_telemetry_source(std::string dir, top_config_s config)
    : dir_(std::move(dir)), config_(std::move(config)) {}

top_telemetry_source::card_state_s &top_telemetry_source::card(const std::string &bdf) {
    card_state_s &c = cards_[bdf];
    c.bdf = bdf;
    return c;
}

void top_telemetry_source::apply_line(const std::string &file_bdf, const std::string &line, bool stats_file) {
    if (line.starts_with(k_banner)) {
        // The daemon (re)opened the file: the next change of each delta
        // counter may be its whole raw value.
        for (entity_state_s &e : card(file_bdf).entities) {
            for (auto &[name, state] : e.counters) {
                state.fresh = true;
            }
        }
        return;
    }
    if (line.empty() || line.front() != '{') {
        return;
    }
    pt::ptree tree;
    try {
        std::istringstream in(line);
        pt::read_json(in, tree);
    } catch (const pt::json_parser_error &) {
        return;
    }
    const std::string bdf = tree.get<std::string>("bdf", file_bdf);
    const auto when = top_parse_timestamp(tree.get<std::string>("timestamp", ""));
    if (!when) {
        return;
    }
    card_state_s &c = card(bdf);
    if (c.uuid.empty()) {
        c.uuid = tree.get<std::string>("uuid", "");
    }
    if (const auto health = tree.get_child_optional("card")) {
        const std::string description = health->get<std::string>("description", "");
        if (description == k_card_down || description == k_card_up) {
            c.state = description == k_card_down ? top_card_state_e::down : top_card_state_e::up;
            c.since = *when;
        }
        return;
    }
    for (const top_entity_kind_e kind : {top_entity_kind_e::lif, top_entity_kind_e::port}) {
        const std::string kind_name = kind == top_entity_kind_e::lif ? "lif" : "port";
        const auto section = tree.get_child_optional(kind_name);
        if (!section) {
            continue;
        }
        const std::string uuid = section->get<std::string>("id", "");
        const std::string name = section->get<std::string>("name", "");
        entity_state_s &entity = top_find_or_add_entity(c.entities, kind, name, uuid);
        entity.last_line = std::max(entity.last_line, *when);
        const double period = kind == top_entity_kind_e::lif ? config_.lif_period : config_.port_period;
        std::vector<std::string> seen;
        if (const auto counters = section->get_child_optional("counters")) {
            for (const auto &[key, entry] : *counters) {
                const std::string counter = entry.get<std::string>("name", "");
                const auto value = parse_u64(entry.get<std::string>("value", ""));
                const auto cfg = config_.counters.find(kind_name + "/" + counter);
                // Each counter is taken from one file: the statistics file
                // when it is written there (an unknown one from either).
                if (counter.empty() || !value ||
                    (cfg != config_.counters.end() && cfg->second.stats_record != stats_file)) {
                    continue;
                }
                seen.push_back(counter);
                auto slot = std::find_if(entity.counters.begin(), entity.counters.end(),
                                         [&](const auto &p) { return p.first == counter; });
                if (slot == entity.counters.end()) {
                    entity.counters.emplace_back(counter, counter_state_s{});
                    slot = std::prev(entity.counters.end());
                }
                counter_state_s &state = slot->second;
                const bool delta = cfg != config_.counters.end() && !cfg->second.cumulative;
                const bool thresholded = cfg != config_.counters.end() && cfg->second.threshold != 0;
                if (!delta) {
                    state.value = *value;
                } else if (state.fresh) {
                    // Not a change of one pass: the start of a new series.
                    ++state.epoch;
                    state.fresh = false;
                } else {
                    state.value += *value;
                }
                // Where a pass may leave no line at all (every counter of the
                // file has a threshold), lines further apart than a period
                // hide passes whose changes were below the threshold.
                if (thresholded && !line_every_pass(kind_name, stats_file) && state.sampled_at > 0 &&
                    *when - state.sampled_at > k_gap_periods * period) {
                    ++state.missed;
                }
                state.sampled_at = *when;
            }
        }
        // A thresholded delta counter missing from its file's line had a
        // change below its threshold in that pass.
        for (auto &[counter, state] : entity.counters) {
            const auto cfg = config_.counters.find(kind_name + "/" + counter);
            if (cfg == config_.counters.end() || cfg->second.cumulative || cfg->second.threshold == 0 ||
                cfg->second.stats_record != stats_file ||
                std::find(seen.begin(), seen.end(), counter) != seen.end()) {
                continue;
            }
            ++state.missed;
            state.sampled_at = std::max(state.sampled_at, *when);
        }
    }
}

std::string top_telemetry_source::poll(top_snapshot_s &snapshot) {
    std::error_code ec;
    fs::directory_iterator dir(dir_, ec);
    if (ec) {
        return "telemetry directory " + dir_ + ": " + ec.message();
    }
    for (const auto &entry : dir) {
        const std::string name = entry.path().filename().string();
        const bool stats = name.ends_with(k_stats_suffix);
        if (!name.starts_with(k_file_prefix) || (!stats && !name.ends_with(k_event_suffix))) {
            continue;
        }
        if (!followers_.contains(name)) {
            followers_.emplace(name, std::make_unique<top_file_follower>(entry.path().string()));
            // A statistics file names a card even before it has lines.
            const size_t suffix = stats ? k_stats_suffix.size() : k_event_suffix.size();
            card(name.substr(k_file_prefix.size(), name.size() - k_file_prefix.size() - suffix));
        }
    }
    std::vector<std::string> lines;
    for (auto &[name, follower] : followers_) {
        const bool stats = name.ends_with(k_stats_suffix);
        const size_t suffix = stats ? k_stats_suffix.size() : k_event_suffix.size();
        const std::string bdf = name.substr(k_file_prefix.size(), name.size() - k_file_prefix.size() - suffix);
        lines.clear();
        follower->poll(lines);
        for (const std::string &line : lines) {
            apply_line(bdf, line, stats);
        }
    }
    snapshot.cards.clear();
    for (const auto &[bdf, c] : cards_) {
        top_card_s card;
        card.bdf = c.bdf;
        card.uuid = c.uuid;
        card.state = c.state;
        card.state_since = c.since;
        double newest = 0;
        for (const entity_state_s &e : c.entities) {
            newest = std::max(newest, e.last_line);
            top_entity_s entity;
            entity.kind = e.kind;
            entity.name = e.name;
            entity.uuid = e.uuid;
            const std::string kind_name = e.kind == top_entity_kind_e::lif ? "lif" : "port";
            for (const auto &[counter, state] : e.counters) {
                if (const auto known = top_known_counter(e.kind, counter)) {
                    entity.counters.push_back({*known, state.value, config_.counter(kind_name, counter).cumulative,
                                               state.sampled_at, state.epoch, state.missed});
                }
            }
            card.entities.push_back(std::move(entity));
        }
        if (card.state == top_card_state_e::unknown && newest > 0 && snapshot.wall - newest < k_recent_seconds) {
            card.state = top_card_state_e::up;
        }
        snapshot.cards.push_back(std::move(card));
    }
    return {};
}
