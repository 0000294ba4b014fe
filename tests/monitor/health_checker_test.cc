// The health checker's schedule in wall time: its passes come on ticks of
// the monotonic clock, however long each pass and each sleep take, and a
// stop ends its sleep promptly.
#include "monitor/talonmon_state.hpp"
#include "tests/monitor/emulated_host.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using test_support::emulated_host;
using test_support::wait_until;

using steady = std::chrono::steady_clock;

constexpr uint64_t k_discovery_ticks = 1000;  // 100 ms
constexpr auto k_run_time = std::chrono::milliseconds(1500);

class HealthCheckerTest : public testing::Test {
protected:
    void SetUp() override {
        card_discovery_ = g_card_discovery_ticks;
        liveness_ = g_liveness_poll_ticks;
    }
    void TearDown() override {
        g_talonmon_state.teardown();
        host_.reset();
        g_card_discovery_ticks = card_discovery_;
        g_liveness_poll_ticks = liveness_;
    }

    std::unique_ptr<emulated_host> host_;
    uint64_t card_discovery_ = 0;
    uint64_t liveness_ = 0;
};

// A card whose ports cannot be read logs one line per discovery pass: the
// lines count the passes over a measured stretch of time.
TEST_F(HealthCheckerTest, DiscoveryPeriodHoldsInWallTimeAndStopIsPrompt) {
    host_ = std::make_unique<emulated_host>(1, 1, 1);
    host_->ctl("fault 0 PORT_IFINDEX_GET status=1");
    const std::string failure = "TALON " + host_->card_bdf(0) + " - Failed to populate port db";
    g_card_discovery_ticks = k_discovery_ticks;
    g_liveness_poll_ticks = k_discovery_ticks;
    talonmon_init_params_s params{};
    params.telemetry_dir = host_->telemetry_dir();
    ASSERT_EQ(g_talonmon_state.init(&params), 0);

    const uint64_t first_tick = talonmon_health_tick();
    const auto started = steady::now();
    std::thread checker([] { talonmon_health_checker(nullptr); });
    std::this_thread::sleep_for(k_run_time);
    g_talonmon_state.set_running(false);
    const auto stopping = steady::now();
    checker.join();
    const auto stopped = steady::now();

    // Discovery passes fall on the multiples of the period within the run.
    const auto ran_ticks = static_cast<uint64_t>((stopping - started) / std::chrono::microseconds(k_tick_us));
    const uint64_t last_tick = first_tick + ran_ticks;
    const uint64_t scheduled = last_tick / k_discovery_ticks - (first_tick + k_discovery_ticks - 1) / k_discovery_ticks + 1;
    const size_t passes = host_->trace_count(failure);
    EXPECT_LE(passes, scheduled);
    // A late wake-up under load may cost a pass at the end, never a share
    // of all of them as a period counted in loop passes does.
    EXPECT_GE(passes + 2, scheduled) << "ran " << ran_ticks << " ticks";
    EXPECT_LT(stopped - stopping, std::chrono::milliseconds(300));
}

}  // namespace
