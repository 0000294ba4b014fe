// Rate histograms: how often a counter grew at which rate over one sampling
// pass. The card's worker is the only writer of a histogram; scrapes read it
// concurrently, so every count is a relaxed atomic that the writer stores
// (load, add, store: no locked instruction on the sampling pass).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Upper bounds (per second) of the finite buckets: 1, 1.8, 3.2 and 5.6 times
// each power of ten from 1 to 1e10, then 1e11 (800 Gbit/s in bytes). About
// four buckets a decade; each bound is about 1.78 times the one before.
inline constexpr size_t k_rate_histogram_bounds = 45;
inline constexpr size_t k_rate_histogram_buckets = k_rate_histogram_bounds + 1;  // with +Inf

inline constexpr std::array<double, k_rate_histogram_bounds> k_rate_histogram_ladder = [] {
    // In tenths, so that every bound from 10 on is an exact integer.
    constexpr uint64_t k_steps_tenths[] = {10, 18, 32, 56};
    constexpr uint64_t k_tenths = 10;
    constexpr size_t k_decades = 11;
    std::array<double, k_rate_histogram_bounds> ladder{};
    size_t i = 0;
    for (uint64_t step : k_steps_tenths) {
        ladder[i++] = static_cast<double>(step) / static_cast<double>(k_tenths);
    }
    uint64_t power = 1;  // of the decade before
    for (size_t decade = 1; decade < k_decades; ++decade) {
        for (uint64_t step : k_steps_tenths) {
            ladder[i++] = static_cast<double>(step * power);
        }
        power *= k_tenths;
    }
    ladder[i] = static_cast<double>(k_tenths * power);
    return ladder;
}();

// The bucket of `rate`: the first whose bound is at least `rate`, or
// k_rate_histogram_bounds (+Inf) above the last bound. `rate` is not NaN.
inline size_t talonmon_rate_bucket(double rate) {
    // Branch-free binary search over the sorted ladder.
    size_t base = 0;
    size_t length = k_rate_histogram_bounds;
    while (length > 1) {
        const size_t half = length / 2;
        base = k_rate_histogram_ladder[base + half - 1] < rate ? base + half : base;
        length -= half;
    }
    return base + (k_rate_histogram_ladder[base] < rate ? 1 : 0);
}

// The counts of one histogram at one moment, bucket by bucket (not
// cumulative), and the sum of the observed rates.
struct talonmon_rate_histogram_snapshot_s {
    std::array<uint64_t, k_rate_histogram_buckets> counts{};
    double sum = 0;
};

class talonmon_rate_histogram {
public:
    // Adds one rate (per second, not negative). Only one thread may call it.
    void observe(double rate) {
        auto &count = counts_[talonmon_rate_bucket(rate)];
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        sum_.store(sum_.load(std::memory_order_relaxed) + rate, std::memory_order_relaxed);
    }

    talonmon_rate_histogram_snapshot_s snapshot() const;
    // Continues from the counts of `from` (a renamed entity keeps its series).
    void restore(const talonmon_rate_histogram_snapshot_s &from);

private:
    std::array<std::atomic<uint64_t>, k_rate_histogram_buckets> counts_{};
    std::atomic<double> sum_{0};
};

// Appends the HELP and TYPE lines of a histogram family.
void talonmon_rate_histogram_append_family(std::string &out, std::string_view family, std::string_view help);

// Appends the bucket, sum and count samples of one histogram. `labels` is the
// series' label list without braces, already escaped (`a="x",b="y"`): the
// `le` label follows it. The buckets are cumulative and the count is the
// +Inf bucket, so one scrape is always self-consistent.
void talonmon_rate_histogram_append(std::string &out, std::string_view family, std::string_view labels,
                                    const talonmon_rate_histogram_snapshot_s &snapshot);

class talonmon_metrics_registry;
class talonmon_card_metrics;

// Appends the families talon_lif_counter_rate_per_second and
// talon_port_counter_rate_per_second: one histogram per entity and counter
// that has one. A kind without such counters has no family.
void talonmon_rate_histograms_append(std::string &out, const talonmon_metrics_registry &registry,
                                     const std::vector<std::shared_ptr<const talonmon_card_metrics>> &cards);
