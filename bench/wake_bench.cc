// The processor time of one timed sleep of a worker between two ticks: the
// futex wait on a wake word the worker uses, against a condition variable's
// timed wait with its mutex. The sleeps are 1 ms apart on the monotonic
// clock; a benchmark's CPU column is the cost of one sleep and wake-up.
#include "utils/sys/wake_word.hpp"

#include <benchmark/benchmark.h>
#include <sys/prctl.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

namespace {

constexpr uint64_t k_ns_per_s = 1000000000;
constexpr int64_t k_sleeps = 2000;
constexpr uint64_t k_period_ns = 1000000;

uint64_t monotonic_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

void BM_sleep_condition_variable(benchmark::State &state) {
    std::mutex mutex;
    std::condition_variable cond;
    bool stop = false;
    uint64_t deadline = monotonic_ns();
    for (auto _ : state) {
        deadline += k_period_ns;
        const auto wake = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
        std::unique_lock<std::mutex> lock(mutex);
        benchmark::DoNotOptimize(cond.wait_until(lock, wake, [&stop] { return stop; }));
    }
}
BENCHMARK(BM_sleep_condition_variable)->Iterations(k_sleeps);

void BM_sleep_wake_word(benchmark::State &state) {
    std::mutex mutex;
    utils::wake_word word;
    bool stop = false;
    uint64_t deadline = monotonic_ns();
    for (auto _ : state) {
        deadline += k_period_ns;
        const uint32_t seen = word.value();
        {
            std::lock_guard<std::mutex> lock(mutex);
            benchmark::DoNotOptimize(stop);
        }
        word.sleep_until(seen, deadline);
    }
}
BENCHMARK(BM_sleep_wake_word)->Iterations(k_sleeps);

// Eight sleepers on one period, their deadlines spread evenly over it
// (argument 0) or all at the same instants (argument 1), with a timer slack
// of 50 us: the cost of one sleep when the wake-ups of several workers
// come together.
void BM_sleep_eight_workers(benchmark::State &state) {
    constexpr unsigned long k_slack_ns = 50000;
    constexpr uint64_t k_workers = 8;
    ::prctl(PR_SET_TIMERSLACK, k_slack_ns, 0, 0, 0);
    utils::wake_word word;
    const uint64_t phase = state.range(0) == 0 ? static_cast<uint64_t>(state.thread_index()) * k_period_ns / k_workers : 0;
    uint64_t deadline = (monotonic_ns() / k_period_ns + 1) * k_period_ns + phase;
    for (auto _ : state) {
        deadline += k_period_ns;
        word.sleep_until(word.value(), deadline);
    }
}
BENCHMARK(BM_sleep_eight_workers)->Arg(0)->Arg(1)->Threads(8)->Iterations(k_sleeps);

}  // namespace
