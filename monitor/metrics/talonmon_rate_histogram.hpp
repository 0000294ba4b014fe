// Rate histograms: how often a counter grew at which rate over one sampling
// pass. The card's worker is the only writer of a histogram; scrapes read it
// concurrently, so every count is a relaxed atomic that the writer stores
// (load, add, store: no locked instruction on the sampling pass).
#pragma once

#include <array>
#include <atomic>
#include <bit>
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

// Binary octaves [2^e, 2^(e+1)) that hold ladder bounds: e from 0 to 36
// (1e11 < 2^37). Bounds are less than twice apart, so an octave holds at
// most two of them.
inline constexpr size_t k_rate_histogram_octaves = 37;

// Per octave, the first bucket whose bound is at least 2^e.
inline constexpr std::array<uint8_t, k_rate_histogram_octaves> k_rate_histogram_octave_start = [] {
    std::array<uint8_t, k_rate_histogram_octaves> start{};
    double power = 1.0;
    size_t bucket = 0;
    for (size_t e = 0; e < k_rate_histogram_octaves; ++e) {
        while (bucket < k_rate_histogram_bounds && k_rate_histogram_ladder[bucket] < power) {
            ++bucket;
        }
        start[e] = static_cast<uint8_t>(bucket);
        power *= 2.0;
    }
    return start;
}();

// The bucket of `rate`: the first whose bound is at least `rate`, or
// k_rate_histogram_bounds (+Inf) above the last bound. `rate` is not NaN.
// The rate's binary exponent picks its octave's first bucket, and at most
// two comparisons finish: a few nanoseconds on the sampling pass.
inline size_t talonmon_rate_bucket(double rate) {
    if (rate <= k_rate_histogram_ladder.front()) {
        return 0;
    }
    if (rate > k_rate_histogram_ladder.back()) {
        return k_rate_histogram_bounds;
    }
    constexpr int k_exponent_bias = 1023;
    constexpr int k_mantissa_bits = 52;
    constexpr uint64_t k_exponent_mask = 0x7ff;
    const auto bits = std::bit_cast<uint64_t>(rate);
    const auto octave = static_cast<size_t>(static_cast<int>((bits >> k_mantissa_bits) & k_exponent_mask) -
                                            k_exponent_bias);
    size_t bucket = k_rate_histogram_octave_start[octave];
    while (k_rate_histogram_ladder[bucket] < rate) {
        ++bucket;
    }
    return bucket;
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
