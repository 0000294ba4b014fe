// The health checker's passes come on ticks of the monotonic clock.
#include "monitor/talonmon_state.hpp"
#include "tests/monitor/emulated_host.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

constexpr uint64_t k_liveness_ticks = 500;  // 50 ms

// With a liveness pass every 50 ms the checker's tick follows the clock: a
// loop that counted its own passes as ticks fell a third behind and more.
TEST(HealthChecker, TicksFollowTheClockAndStopIsPrompt) {
    test_support::emulated_host host(1, 1, 1);
    g_liveness_poll_ticks = g_lif_poll_ticks = g_port_poll_ticks = k_liveness_ticks;
    talonmon_init_params_s params{};
    params.telemetry_dir = host.telemetry_dir();
    ASSERT_EQ(g_talonmon_state.init(&params), 0);

    const auto started = steady::now();
    std::thread checker([] { talonmon_health_checker(nullptr); });
    // Thirty passes or more.
    EXPECT_TRUE(test_support::wait_until([] { return talonmon_health_tick() >= 30 * k_liveness_ticks; },
                                         std::chrono::seconds(30)));
    const uint64_t tick = talonmon_health_tick();
    const auto read = steady::now();
    g_talonmon_state.set_running(false);
    checker.join();
    const auto stopped = steady::now();
    g_talonmon_state.teardown();

    const auto ran_ticks = static_cast<uint64_t>((read - started) / std::chrono::microseconds(k_tick_us));
    // The tick is that of the pass in progress or of the next one due; a
    // pass (here at most a card exchange) takes a few milliseconds, more on
    // a loaded machine under a sanitizer.
    EXPECT_LE(tick, ran_ticks + k_liveness_ticks);
    EXPECT_GE(tick + 4 * k_liveness_ticks, ran_ticks);
    EXPECT_EQ(tick % k_liveness_ticks, 0u);
    EXPECT_LT(stopped - read, std::chrono::seconds(1));
}

}  // namespace
