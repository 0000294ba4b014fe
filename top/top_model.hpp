// Rates, card states and throughput history computed from successive
// snapshots. Every rate is the change of a counter divided by the time
// between the two samples that produced it. A counter that goes back (a
// reset: the card or the daemon started again) gives no rate for that
// interval, never a negative one; a down or stale card gives none at all.
#pragma once

#include "top/top_snapshot.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t k_top_history = 60;

struct top_counter_view_s {
    std::string_view name;  // static storage (top_known_counter)
    uint64_t value = 0;
    bool cumulative = true;
    std::optional<double> rate;  // per second
    // The source brought no new sample of it: the rate of the last one.
    bool held = false;
    // Changes below the counter's threshold are missing from the span.
    bool lower_bound = false;
};

struct top_entity_view_s {
    top_entity_kind_e kind = top_entity_kind_e::lif;
    std::string name;
    std::string uuid;
    std::vector<top_counter_view_s> counters;
    // Retransmitted bytes per transmitted byte, while bytes are transmitted.
    std::optional<double> retransmit_share;
    bool share_lower_bound = false;
    // Bytes per second (or packets per second where no byte counter is
    // configured) sent and received; NaN entries in the history are
    // intervals without a rate.
    std::optional<double> throughput;
    bool throughput_in_bytes = false;
    std::vector<double> history;

    const top_counter_view_s *counter(std::string_view counter_name) const;
};

enum class top_card_view_state_e { unknown, up, down, absent };

struct top_card_view_s {
    std::string bdf;
    std::string uuid;
    top_card_view_state_e state = top_card_view_state_e::unknown;
    // Up, but no new sample for longer than the model's stale limit.
    bool stale = false;
    std::optional<double> since;  // wall-clock seconds
    bool since_exact = false;     // false: "at least since", first seen then
    size_t lifs = 0;
    size_t ports = 0;
    std::optional<uint64_t> passes;        // in the last interval
    std::optional<uint64_t> overruns;      // in the last interval
    std::optional<uint64_t> failed_reads;  // in the last interval
    // Sums over the card's LIFs of their transmitted and received bytes per
    // second, and the largest retransmitted share among them.
    std::optional<double> tx_bytes;
    std::optional<double> rx_bytes;
    std::optional<double> worst_share;
    bool worst_share_lower_bound = false;
    std::vector<top_entity_view_s> entities;

    // Shows numbers: up and not stale.
    bool measured() const { return state == top_card_view_state_e::up && !stale; }
};

// "16 cards, 1 down, 2 stale, 3 overruns, 0 failed reads"
struct top_summary_s {
    size_t cards = 0;
    size_t down = 0;  // down or gone
    size_t stale = 0;
    uint64_t overruns = 0;
    uint64_t failed_reads = 0;
};

class top_model {
public:
    // Counter sampling periods (seconds) of the daemon's configuration: a
    // counter whose last sample is older than twice its period behind its
    // card's newest has no rate.
    void set_periods(double lif_seconds, double port_seconds);
    // Seconds without a new sample of a card (or any reading) after which it
    // is stale.
    void set_stale_after(double seconds) { stale_after_ = seconds; }

    // A reading that succeeded.
    void update(const top_snapshot_s &snapshot);
    // A reading that failed (the endpoint does not answer): the cards keep
    // their last state, rates are dropped, the error is shown.
    void update_failed(double wall, const std::string &error);
    // Marks the cards that have had no new sample for longer than the stale
    // limit at `monotonic` (seconds on the snapshots' monotonic clock).
    void age(double monotonic);

    const std::vector<top_card_view_s> &cards() const { return cards_; }
    top_summary_s summary() const;
    const std::string &error() const { return error_; }
    std::optional<double> error_since() const { return error_since_; }
    std::optional<double> restarted_at() const { return restarted_at_; }
    double updated_at() const { return updated_at_; }
    // Entities whose readings and history the model holds (bounded by what
    // the last reading reported).
    size_t remembered_entities() const;

private:
    struct reading_s {
        uint64_t value = 0;
        double at = 0;
        uint64_t epoch = 0;
        uint64_t missed = 0;
        std::optional<double> rate;
        bool lower_bound = false;
    };
    // The last readings of an entity's counters; its throughput history is
    // kept in its view.
    struct entity_memory_s {
        std::vector<std::pair<std::string_view, reading_s>> readings;
    };
    struct card_memory_s {
        top_card_view_state_e state = top_card_view_state_e::unknown;
        std::optional<double> since;
        bool since_exact = false;
        std::optional<uint64_t> passes;
        std::optional<uint64_t> overruns;
        std::optional<uint64_t> failed_reads;
        double newest_sample = 0;  // newest sample time seen
        double advanced_at = 0;    // monotonic time it last advanced
        uint64_t seen = 0;         // the update that last reported the card
        // The card's entity views, held here during an update to be brought
        // up to date in place, and their readings in the same order.
        std::vector<top_entity_view_s> views;
        std::vector<entity_memory_s> entities;
    };

    void entity_view(const top_card_s &card, const top_entity_s &entity, top_entity_view_s &view,
                     entity_memory_s &memory, bool measured, bool resumed, double card_newest, double taken_at);
    static void align(const top_card_s &card, card_memory_s &memory);
    void drop_rates(top_card_view_s &card) const;

    std::map<std::string, card_memory_s> memory_;                // by PCI address
    std::vector<top_card_view_s> cards_;
    std::optional<double> daemon_start_;
    std::optional<double> restarted_at_;
    std::string error_;
    std::optional<double> error_since_;
    double updated_at_ = 0;
    double lif_period_ = 0.1;
    double port_period_ = 0.1;
    double stale_after_ = 5;
    double last_monotonic_ = 0;
    uint64_t generation_ = 0;  // updates so far
};

// Sorting and filtering of what is shown. Column 0 sorts by name, 1 by
// throughput, 2 by retransmitted share, 3 and on by the counters of
// `top_counter_columns` in turn; numbers sort from the largest, or from the
// smallest with `reverse`.
std::vector<std::string> top_counter_columns(const std::vector<top_card_view_s> &cards);
size_t top_sort_column_count(const std::vector<top_card_view_s> &cards);
std::string top_sort_column_name(const std::vector<top_card_view_s> &cards, size_t column);
// Cards by PCI address; in each card, its LIFs then its ports, each sorted
// by `column`; only cards whose address, and entities whose name or uuid,
// contain `filter` (case-insensitive; a matching card keeps all entities).
std::vector<top_card_view_s> top_arrange(const std::vector<top_card_view_s> &cards, size_t column,
                                         const std::string &filter, bool reverse = false);

// The columns the cards of the compact view sort by.
enum class top_card_sort_e { name, tx, rx, share, overruns, failed_reads, count };
const char *top_card_sort_name(top_card_sort_e sort);
// One card per line: down, gone and stale cards first, then by `sort`.
std::vector<const top_card_view_s *> top_arrange_cards(const std::vector<top_card_view_s> &cards,
                                                       top_card_sort_e sort, bool reverse,
                                                       const std::string &filter);
