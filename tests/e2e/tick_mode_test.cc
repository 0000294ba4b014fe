// The sleeping tick mode through the daemon: a stop or a card going down
// waits neither for a worker's long sleep nor for a service manager that
// never reads its notifications.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using test_support::read_lines;
using test_support::wait_until;

// Thirty-second sampling periods, as long as the discovery period: every
// worker sleeps nearly all the time, and only the liveness period's own key
// brings the failing heartbeat to light within the test's wait.
const std::string k_sleepy_filter = R"(
        "card": { "tick_mode": "sleep", "liveness_poll_interval": 100000 },
        "lif": { "poll_interval": 30000000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 30000000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

using TickModeTest = e2e::daemon_test;

TEST_F(TickModeTest, CardGoingDownDuringALongSleepParksAndAStopIsPrompt) {
    start_emulator(2);
    e2e::notify_socket stalled(env_.dir() / "notify-stalled");
    // A ping every 50 ms fills the socket's queue (10 datagrams by default)
    // in half a second.
    start_daemon(k_sleepy_filter, "", {stalled.env(), "WATCHDOG_USEC=200000"});
    // Both cards have written their first pass (a banner and four lines).
    ASSERT_TRUE(wait_until([&] { return lines_of(0, "stats") >= 5 && lines_of(1, "stats") >= 5; }));
    ASSERT_TRUE(wait_until([&] { return trace_has("to the service manager dropped (1 so far)"); }));
    emu_->ctl("heartbeat 0 fail");
    ASSERT_TRUE(wait_until([&] { return e2e::count_containing(read_lines(telemetry(0, "event")), "card down") > 0; }))
        << "the health checker stalled";
    // Card 1's worker is still in its long sleep, with several seconds of it
    // left: the stop (by SIGINT, as from a terminal) must not wait for them.
    const auto r = stop_daemon(std::chrono::seconds(3), SIGINT);
    EXPECT_EQ(r.err, "TALON " + emu_->bdf(0) + " - card down detected: it failed its heartbeat\n");
    EXPECT_EQ(e2e::count_containing(read_lines(env_.trace_file()), "received signal 2, exiting ..."), 1u);
    // The parked worker sampled nothing more.
    EXPECT_EQ(lines_of(0, "stats"), 5u);
}

}  // namespace
