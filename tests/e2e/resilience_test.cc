// The running daemon with cards whose firmware stops answering.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

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

// A hung firmware answers nothing: each heartbeat exchange runs into its
// two-second time-out. The health checker inspects the cards in turn, so
// once the first card is down it sits in the second card's exchange with
// the third's to come: a stop then waits 900 ms for it and exits without
// it, saying so in its closing lines.
TEST_F(ResilienceTest, HungCardsGoDownAndAStopDoesNotWaitForTheirExchanges) {
    start_emulator(3);
    start_daemon(k_fast_filter);
    ASSERT_TRUE(grows(0, "stats", 10));

    emu_->signal(SIGSTOP);
    const std::string down = "TALON " + emu_->bdf(0) + " - card down detected";
    ASSERT_TRUE(wait_until([&] { return count_containing(read_lines(env_.trace_file()), down) == 1; },
                           std::chrono::seconds(15)));
    // A stop that waited for the hung exchanges would take four seconds or more.
    stop_daemon(std::chrono::seconds(3));
    emu_->signal(SIGCONT);

    const std::string trace = test_support::read_file(env_.trace_file());
    EXPECT_TRUE(std::regex_search(trace, std::regex("Health checker did not stop within 900 ms, exiting without it\n"
                                                    "[^\n]*received signal 15, exiting \\.\\.\\.\n$")))
        << trace;
    EXPECT_EQ(count_containing(read_lines(env_.trace_file()), down), 1u);
    EXPECT_EQ(count_containing(read_lines(telemetry(0, "event")), "card down detected"), 1u);
}

}  // namespace
