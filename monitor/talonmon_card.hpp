// One monitored card: its identity, its ports and LIFs, its telemetry
// loggers and the control of its worker thread.
#pragma once

#include "aml/aml_card.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/talonmon_line_parts.hpp"
#include "utils/sys/wake_word.hpp"

#include <spdlog/logger.h>

class talonmon_telemetry_status;

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct talonmon_port_entry_s {
    std::string uuid;
    std::string name;
    uint32_t ifindex = 0;
    uint16_t port_num = 0;
    uint64_t stats_addr = 0;
    uint64_t stats_size = 0;
    // Where the worker publishes the port's readings; null while the metrics
    // endpoint is off.
    std::shared_ptr<talonmon_entity_metrics> metrics;
    // The escaped parts of the port's telemetry lines; made when a list
    // holding the port is set on the card context.
    talonmon_line_parts_s line_parts;
};

struct talonmon_lif_entry_s {
    std::string uuid;
    std::string name;
    uint16_t lif_id = 0;
    uint64_t stats_addr = 0;
    std::shared_ptr<talonmon_entity_metrics> metrics;  // as for ports
    talonmon_line_parts_s line_parts;                  // as for ports
};

using talonmon_port_list_t = std::vector<talonmon_port_entry_s>;
using talonmon_lif_list_t = std::vector<talonmon_lif_entry_s>;

// True when both handles name the same card.
inline bool talonmon_same_card(const aml_card_handle_s &a, const aml_card_handle_s &b) {
    return a.uuid == b.uuid && a.bdf == b.bdf;
}

// What a pass of one entity computed for the rate histograms: per
// configured counter, its rate over the pass (NaN when the pass gave none).
struct talonmon_entity_rates_s {
    uint64_t sampled_ns = 0;  // when the entity was last sampled
    uint64_t pass = 0;        // the kind's pass of that sample
    std::vector<double> rates;
    // Per counter: its previous reading came from the entity's previous
    // pass. Cleared by a failed read; false before the first reading.
    std::vector<uint8_t> primed;
};

// One kind (LIFs or ports) of a card: per entity position, the previous
// reading of each configured counter and the rates of the last pass,
// growing with the card's lists.
struct talonmon_sampling_kind_s {
    std::vector<std::vector<uint64_t>> readings;
    std::vector<talonmon_entity_rates_s> rates;
    uint64_t passes = 0;  // a pass begins with the entity at position 0
    // When the pass was timed: read once a pass, at its first counter with
    // a histogram (its entities are read microseconds apart); 0 until then.
    uint64_t pass_ns = 0;
};

// A card's sampling memory. Used by the card's worker only, and cleared
// between two workers so that a new worker's first pass computes its deltas
// against 0.
struct talonmon_sampling_memory_s {
    talonmon_sampling_kind_s lif;
    talonmon_sampling_kind_s port;
    // Counter reads that failed (each left out of its pass).
    uint64_t failed_reads = 0;
};

// The port and LIF lists are replaced whole by the health checker and read
// by the worker as snapshots: a worker's pass always walks one consistent
// list, and an entry it walks stays alive until the pass ends.
struct talonmon_card_ctxt_s : aml_card_handle_s {
    explicit talonmon_card_ctxt_s(const aml_card_handle_s &handle) : aml_card_handle_s(handle) {}
    talonmon_card_ctxt_s(const talonmon_card_ctxt_s &) = delete;
    talonmon_card_ctxt_s &operator=(const talonmon_card_ctxt_s &) = delete;

    std::condition_variable cond;
    // What a sleeping worker waits on between ticks; see wake_worker().
    utils::wake_word wake;
    bool down = false;  // guarded by mutex
    bool stop = false;  // guarded by mutex
    // Set when a worker replaces one of a card that was down: the new worker
    // writes "card up detected" once its platform access has started.
    bool announce_up = false;  // guarded by mutex
    std::mutex mutex;
    std::thread worker;  // started and joined by the health checker only
    // The cause of the last failed platform start, logged once per cause;
    // empty after a start that succeeded. Used by the card's worker only
    // (a card's workers run one after another).
    std::string platform_error;
    talonmon_sampling_memory_s sampling;  // the card's worker's, see above

    std::shared_ptr<spdlog::logger> stats_logger;
    std::shared_ptr<spdlog::logger> event_logger;
    // Whether the two files are being written; set with the loggers.
    std::shared_ptr<talonmon_telemetry_status> telemetry;
    // Set before the worker starts and kept for the context's life; null
    // while the metrics endpoint is off. Lists set on the context give
    // their new entries the card's slots for them.
    std::shared_ptr<talonmon_card_metrics> metrics;

    std::shared_ptr<const talonmon_lif_list_t> lifs() const;
    std::shared_ptr<const talonmon_port_list_t> ports() const;
    // Also give each entry its line parts, under its current name.
    void set_lifs(talonmon_lif_list_t lifs);
    void set_ports(talonmon_port_list_t ports);

    // Wakes the worker wherever it waits (parked, sleeping between ticks,
    // waiting for its stop); called with mutex held, after down or stop
    // changed.
    void wake_worker();

    bool is_down();
    // Also marks the card down (or up) for the metrics and wakes the worker
    // from a sleep between ticks.
    void set_down(bool down);

    // Marks the card up for the metrics unless it is down (or stopping).
    void publish_up();
    // Marks the card down. True when a "card down detected" record is due:
    // the card was not down, and it has been reported up (a card whose new
    // worker has not yet written "card up detected" goes down without one,
    // so that up and down records alternate).
    bool mark_down();

private:
    mutable std::mutex lists_mutex_;
    std::shared_ptr<const talonmon_lif_list_t> lifs_ = std::make_shared<const talonmon_lif_list_t>();
    std::shared_ptr<const talonmon_port_list_t> ports_ = std::make_shared<const talonmon_port_list_t>();
};
