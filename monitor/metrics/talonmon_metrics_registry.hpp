// The values the metrics endpoint publishes. Workers and the health checker
// store into per-card and per-entity slots with relaxed atomic operations;
// the endpoint reads them when it renders a scrape. The slots of an entity
// are sized when discovery finds it, so publishing never allocates or locks.
#pragma once

#include "monitor/metrics/talonmon_rate_histogram.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The last raw readings of one LIF or port, one slot per configured counter.
class talonmon_entity_metrics {
public:
    // `labels` is the entity's label set as a scrape writes it between
    // the braces, escaped once here rather than on every scrape;
    // `histograms`: the positions of the counters with a rate histogram.
    talonmon_entity_metrics(std::string name, std::string uuid, size_t counters, std::string labels = {},
                            std::vector<size_t> histograms = {});

    // Stores the readings of one sampling pass; extra readings are ignored.
    void publish(std::span<const uint64_t> readings) {
        const size_t count = readings.size() < num_counters_ ? readings.size() : num_counters_;
        for (size_t i = 0; i < count; ++i) {
            readings_[i].store(readings[i], std::memory_order_relaxed);
        }
    }

    // Adds the rates of one sampling pass (one per configured counter) to
    // the histograms; a NaN rate (none this pass) is left out.
    void observe_rates(std::span<const double> rates) {
        for (size_t h = 0; h < histogram_positions_.size(); ++h) {
            const size_t position = histogram_positions_[h];
            if (position < rates.size() && rates[position] >= 0) {
                histograms_[h].observe(rates[position]);
            }
        }
    }

    const std::string &name() const { return name_; }
    const std::string &uuid() const { return uuid_; }
    const std::string &labels() const { return labels_; }
    size_t num_counters() const { return num_counters_; }
    uint64_t reading(size_t counter) const { return readings_[counter].load(std::memory_order_relaxed); }
    const std::vector<size_t> &histogram_positions() const { return histogram_positions_; }
    // The histogram of the counter at histogram_positions()[h].
    const talonmon_rate_histogram &histogram(size_t h) const { return histograms_[h]; }
    void restore_histogram(size_t h, const talonmon_rate_histogram_snapshot_s &from) { histograms_[h].restore(from); }

private:
    std::string name_;
    std::string uuid_;
    std::string labels_;
    size_t num_counters_;
    std::unique_ptr<std::atomic<uint64_t>[]> readings_;
    std::vector<size_t> histogram_positions_;
    std::unique_ptr<talonmon_rate_histogram[]> histograms_;
};

enum class talonmon_metrics_file_e : size_t { stats = 0, event = 1 };
inline constexpr size_t k_metrics_num_files = 2;

// One card: its health, its worker's cadence and its telemetry files, and
// the LIFs and ports found on it.
class talonmon_card_metrics {
public:
    talonmon_card_metrics(std::string bdf, std::string uuid, size_t lif_counters, size_t port_counters,
                          std::vector<size_t> lif_histograms = {}, std::vector<size_t> port_histograms = {});

    // The slots of the LIF (port) with `uuid`: the ones it had before when
    // the card reported it earlier, so a card coming back keeps its series.
    // Reported under a new name, it gets new slots with that name and the
    // last readings.
    std::shared_ptr<talonmon_entity_metrics> lif(const std::string &uuid, const std::string &name);
    std::shared_ptr<talonmon_entity_metrics> port(const std::string &uuid, const std::string &name);
    // Forgets the entities that the card's current lists no longer hold.
    void retain(const std::vector<std::string> &lif_uuids, const std::vector<std::string> &port_uuids);

    // Marks the card up or down; a change from up to down is counted.
    void set_up(bool up) {
        if (up) {
            up_.store(true, std::memory_order_relaxed);
        } else if (up_.exchange(false, std::memory_order_relaxed)) {
            down_transitions_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    void count_pass() { passes_.fetch_add(1, std::memory_order_relaxed); }
    // Wall-clock time of the card's last sampling pass, so that a reader can
    // divide a change of the readings by the time between their samples.
    void set_last_sample_ns(uint64_t wall_ns) { last_sample_ns_.store(wall_ns, std::memory_order_relaxed); }
    // The same for the passes that sampled its LIFs, and its ports: a kind
    // sampled at a longer period has its own time between samples.
    void set_last_lif_sample_ns(uint64_t wall_ns) { last_lif_sample_ns_.store(wall_ns, std::memory_order_relaxed); }
    void set_last_port_sample_ns(uint64_t wall_ns) { last_port_sample_ns_.store(wall_ns, std::memory_order_relaxed); }
    void count_failed_reads(uint64_t reads) { failed_reads_.fetch_add(reads, std::memory_order_relaxed); }
    void count_overrun() { overruns_.fetch_add(1, std::memory_order_relaxed); }
    void count_telemetry_write_error() { telemetry_write_errors_.fetch_add(1, std::memory_order_relaxed); }
    void count_line(talonmon_metrics_file_e file) {
        lines_[static_cast<size_t>(file)].fetch_add(1, std::memory_order_relaxed);
    }

    const std::string &bdf() const { return bdf_; }
    const std::string &uuid() const { return uuid_; }
    // bdf="...",card_uuid="...", escaped once.
    const std::string &labels() const { return labels_; }
    bool up() const { return up_.load(std::memory_order_relaxed); }
    uint64_t down_transitions() const { return down_transitions_.load(std::memory_order_relaxed); }
    uint64_t passes() const { return passes_.load(std::memory_order_relaxed); }
    uint64_t last_sample_ns() const { return last_sample_ns_.load(std::memory_order_relaxed); }
    uint64_t last_lif_sample_ns() const { return last_lif_sample_ns_.load(std::memory_order_relaxed); }
    uint64_t last_port_sample_ns() const { return last_port_sample_ns_.load(std::memory_order_relaxed); }
    uint64_t overruns() const { return overruns_.load(std::memory_order_relaxed); }
    uint64_t failed_reads() const { return failed_reads_.load(std::memory_order_relaxed); }
    uint64_t telemetry_write_errors() const { return telemetry_write_errors_.load(std::memory_order_relaxed); }
    uint64_t lines(talonmon_metrics_file_e file) const {
        return lines_[static_cast<size_t>(file)].load(std::memory_order_relaxed);
    }
    // Copies of the entity lists, for rendering.
    std::vector<std::shared_ptr<const talonmon_entity_metrics>> lifs() const;
    std::vector<std::shared_ptr<const talonmon_entity_metrics>> ports() const;

private:
    using entity_list_t = std::vector<std::shared_ptr<talonmon_entity_metrics>>;
    std::shared_ptr<talonmon_entity_metrics> find_or_add_(entity_list_t &list, std::string_view kind,
                                                          const std::string &uuid, const std::string &name,
                                                          size_t counters, const std::vector<size_t> &histograms);

    std::string bdf_;
    std::string uuid_;
    std::string labels_;
    size_t lif_counters_;
    size_t port_counters_;
    std::vector<size_t> lif_histograms_;
    std::vector<size_t> port_histograms_;
    // Up once the card's worker has taken its first sample.
    std::atomic<bool> up_{false};
    std::atomic<uint64_t> down_transitions_{0};
    std::atomic<uint64_t> passes_{0};
    std::atomic<uint64_t> last_sample_ns_{0};  // 0: no sample yet
    std::atomic<uint64_t> last_lif_sample_ns_{0};
    std::atomic<uint64_t> last_port_sample_ns_{0};
    std::atomic<uint64_t> overruns_{0};
    std::atomic<uint64_t> failed_reads_{0};
    // Telemetry lines lost and telemetry files that could not be opened.
    std::atomic<uint64_t> telemetry_write_errors_{0};
    std::atomic<uint64_t> lines_[k_metrics_num_files]{};
    // Guards the entity lists: taken by discovery and by scrapes, never by
    // the worker, which holds its entities' slots directly.
    mutable std::mutex entities_mutex_;
    entity_list_t lifs_;
    entity_list_t ports_;
};

// Every card the daemon monitors and the daemon-wide counters. Disabled
// (the default) it hands out no card objects, so nothing is published.
class talonmon_metrics_registry {
public:
    // Enables publishing with the configured counter names, in configuration
    // order (a name may appear twice; its readings are the same).
    // `*_histograms`: the positions of the counters that also get a rate
    // histogram (a name at most once).
    void enable(std::vector<std::string> lif_counters, std::vector<std::string> port_counters,
                std::vector<size_t> lif_histograms = {}, std::vector<size_t> port_histograms = {});
    bool enabled() const { return enabled_; }

    // A card object for a new context, or null while disabled. It becomes
    // visible to scrapes once added.
    std::shared_ptr<talonmon_card_metrics> make_card(const std::string &bdf, const std::string &uuid) const;
    void add_card(std::shared_ptr<talonmon_card_metrics> card);
    // Puts `card` where `old` was published (another card took its slot):
    // `old`'s series are gone from the next scrape on.
    void replace_card(const std::shared_ptr<talonmon_card_metrics> &old, std::shared_ptr<talonmon_card_metrics> card);
    std::vector<std::shared_ptr<const talonmon_card_metrics>> cards() const;

    void count_discovery_pass() { discovery_passes_.fetch_add(1, std::memory_order_relaxed); }
    uint64_t discovery_passes() const { return discovery_passes_.load(std::memory_order_relaxed); }

    const std::vector<std::string> &lif_counters() const { return lif_counters_; }
    const std::vector<std::string> &port_counters() const { return port_counters_; }
    const std::vector<size_t> &lif_histograms() const { return lif_histograms_; }
    const std::vector<size_t> &port_histograms() const { return port_histograms_; }

    // Back to the disabled state without cards (for tests).
    void reset();

private:
    // Written once at start-up, before any thread that reads it starts.
    bool enabled_ = false;
    std::vector<std::string> lif_counters_;
    std::vector<std::string> port_counters_;
    std::vector<size_t> lif_histograms_;
    std::vector<size_t> port_histograms_;
    std::atomic<uint64_t> discovery_passes_{0};
    mutable std::mutex cards_mutex_;
    std::vector<std::shared_ptr<talonmon_card_metrics>> cards_;
};

extern talonmon_metrics_registry g_talonmon_metrics;
