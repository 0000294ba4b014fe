// The cards as the telemetry directory shows them: the statistics files
// (counter values, with the time each was sampled) and the event files (card
// up and down records), followed across rotations.
#pragma once

#include "top/top_config.hpp"
#include "top/top_file_follower.hpp"
#include "top/top_snapshot.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>

// Seconds since the epoch of a telemetry time stamp
// ("YYYY-MM-DD HH:MM:SS.mmm", local time), if it is one.
std::optional<double> top_parse_timestamp(const std::string &text);

class top_telemetry_source {
public:
    top_telemetry_source(std::string dir, top_config_s config);

    // Reads what the files gained and fills `snapshot.cards`. Returns an
    // empty message, or why the directory cannot be read.
    std::string poll(top_snapshot_s &snapshot);

    // Applies one line of a card's statistics (or event) file.
    void apply_line(const std::string &file_bdf, const std::string &line, bool stats_file = true);

private:
    // A counter as a running count: the reading of a cumulative counter, the
    // sum of the reported changes of a delta counter.
    struct counter_state_s {
        uint64_t value = 0;
        double sampled_at = 0;
        uint64_t epoch = 0;
        uint64_t missed = 0;
        // The next change reported is no change of an interval (the first
        // after the daemon (re)opened its file: the whole raw counter).
        bool fresh = true;
    };
    struct entity_state_s {
        top_entity_kind_e kind = top_entity_kind_e::lif;
        std::string name;
        std::string uuid;
        std::vector<std::pair<std::string, counter_state_s>> counters;
        double last_line = 0;
    };
    struct card_state_s {
        std::string bdf;
        std::string uuid;
        top_card_state_e state = top_card_state_e::unknown;
        std::optional<double> since;
        std::vector<entity_state_s> entities;
    };

    card_state_s &card(const std::string &bdf);
    // Some counter of `kind` in the file has no threshold: each pass writes a
    // line for each entity there.
    bool line_every_pass(const std::string &kind, bool stats_file) const;

    std::string dir_;
    top_config_s config_;
    std::map<std::string, std::unique_ptr<top_file_follower>> followers_;  // by file name
    std::map<std::string, card_state_s> cards_;                           // by PCI address
};
