// Rates, card states and throughput history computed from successive
// snapshots. A counter that goes back (a reset: the card or the daemon
// started again) gives no rate for that interval, never a negative one.
#pragma once

#include "top/top_snapshot.hpp"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

inline constexpr size_t k_top_history = 60;

struct top_counter_view_s {
    std::string name;
    uint64_t value = 0;
    bool cumulative = true;
    std::optional<double> rate;  // per second; cumulative counters only
};

struct top_entity_view_s {
    top_entity_kind_e kind = top_entity_kind_e::lif;
    std::string name;
    std::string uuid;
    std::vector<top_counter_view_s> counters;
    // Retransmitted bytes per transmitted byte, while bytes are transmitted.
    std::optional<double> retransmit_share;
    // Bytes per second (or packets per second where no byte counter is
    // configured) sent and received; NaN entries in the history are
    // intervals without a rate.
    std::optional<double> throughput;
    bool throughput_in_bytes = false;
    std::deque<double> history;

    const top_counter_view_s *counter(const std::string &counter_name) const;
};

enum class top_card_view_state_e { unknown, up, down, absent };

struct top_card_view_s {
    std::string bdf;
    std::string uuid;
    top_card_view_state_e state = top_card_view_state_e::unknown;
    std::optional<double> since;  // wall-clock seconds
    bool since_exact = false;     // false: "at least since", first seen then
    size_t lifs = 0;
    size_t ports = 0;
    std::optional<uint64_t> passes;    // in the last interval
    std::optional<uint64_t> overruns;  // in the last interval
    std::vector<top_entity_view_s> entities;
};

class top_model {
public:
    // A reading that succeeded.
    void update(const top_snapshot_s &snapshot);
    // A reading that failed (the endpoint does not answer): the cards keep
    // their last state, rates are dropped, the error is shown.
    void update_failed(double wall, const std::string &error);

    const std::vector<top_card_view_s> &cards() const { return cards_; }
    const std::string &error() const { return error_; }
    std::optional<double> error_since() const { return error_since_; }
    std::optional<double> restarted_at() const { return restarted_at_; }
    double updated_at() const { return updated_at_; }

private:
    struct reading_s {
        uint64_t value = 0;
        double at = 0;
    };
    struct card_memory_s {
        top_card_view_state_e state = top_card_view_state_e::unknown;
        std::optional<double> since;
        bool since_exact = false;
        std::optional<uint64_t> passes;
        std::optional<uint64_t> overruns;
    };

    top_entity_view_s entity_view(const top_card_s &card, const top_entity_s &entity, double now, bool resumed);

    std::map<std::string, reading_s> readings_;             // by counter key
    std::map<std::string, std::deque<double>> histories_;  // by entity key
    std::map<std::string, card_memory_s> memory_;           // by PCI address
    std::vector<top_card_view_s> cards_;
    std::optional<double> daemon_start_;
    std::optional<double> restarted_at_;
    std::string error_;
    std::optional<double> error_since_;
    double updated_at_ = 0;
};

// Sorting and filtering of what is shown. Column 0 sorts by name, 1 by
// throughput, 2 by retransmitted share, 3 and on by the counters of
// `top_counter_columns` in turn; numbers sort from the largest.
std::vector<std::string> top_counter_columns(const std::vector<top_card_view_s> &cards);
size_t top_sort_column_count(const std::vector<top_card_view_s> &cards);
std::string top_sort_column_name(const std::vector<top_card_view_s> &cards, size_t column);
// Cards by PCI address; in each card, its LIFs then its ports, each sorted
// by `column`; only cards whose address, and entities whose name or uuid,
// contain `filter` (case-insensitive; a matching card keeps all entities).
std::vector<top_card_view_s> top_arrange(const std::vector<top_card_view_s> &cards, size_t column,
                                         const std::string &filter);
