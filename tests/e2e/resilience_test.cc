// The running daemon under host conditions that must not stop it: a card
// whose firmware stops answering, and a step of the wall clock.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

namespace {

using test_support::read_lines;
using test_support::wait_until;

const std::string k_fast_filter = R"(
        "card": { "liveness_poll_interval": 100000 },
        "lif": { "poll_interval": 2000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 2000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

using ResilienceTest = e2e::daemon_test;
using e2e::count_containing;

TEST_F(ResilienceTest, HungCardGoesDownAndDoesNotHoldUpAStop) {
    start_emulator(1);
    start_daemon(k_fast_filter);
    ASSERT_TRUE(grows(0, "stats", 10));

    emu_->signal(SIGSTOP);
    const std::string down = "TALON " + emu_->bdf(0) + " - card down detected";
    // The heartbeat's exchange times out: the card goes down as a failing one does, once.
    EXPECT_TRUE(wait_until([&] { return count_containing(read_lines(env_.trace_file()), down) == 1; },
                           std::chrono::seconds(15)));
    EXPECT_EQ(count_containing(read_lines(telemetry(0, "event")), "card down detected"), 1u);

    // Heartbeats go on into the hung channel; a stop does not wait for them.
    stop_daemon(std::chrono::seconds(5));
    emu_->signal(SIGCONT);
    EXPECT_EQ(count_containing(read_lines(env_.trace_file()), "received signal 15, exiting ..."), 1u);
}

TEST_F(ResilienceTest, WallClockStepBackKeepsSamplingAndStopping) {
    start_emulator(1);
    // 300 ms after start the wall clock goes back 20 s, as an NTP step would.
    start_daemon(k_fast_filter, "", {std::string("LD_PRELOAD=") + CLOCK_STEP_SHIM, "TALON_TEST_CLOCK_STEP_AFTER_MS=300",
                  "TALON_TEST_CLOCK_STEP_S=-20", "ASAN_OPTIONS=verify_asan_link_order=0"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(grows(0, "stats", 10)) << "sampling stopped after the clock step";
    stop_daemon(std::chrono::seconds(5));
}

}  // namespace
