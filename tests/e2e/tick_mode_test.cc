// The sleeping tick mode through the daemon: a stop or a card going down
// does not wait for a worker's long sleep, and a bad mode is refused.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

namespace {

using test_support::child_process;
using test_support::read_lines;
using test_support::wait_until;

// Ten-second sampling periods: every worker sleeps nearly all the time.
const std::string k_sleepy_filter = R"(
        "card": { "tick_mode": "sleep", "liveness_poll_interval": 100000 },
        "lif": { "poll_interval": 10000000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 10000000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

constexpr auto k_prompt_exit = std::chrono::milliseconds(1000);

class TickModeTest : public testing::Test {
protected:
    void start_daemon() {
        daemon_ = std::make_unique<child_process>(
            std::vector<std::string>{e2e::k_daemon, "-c", env_.write_config(k_sleepy_filter)}, emu_->env());
        ASSERT_TRUE(e2e::wait_for_start(env_, *daemon_)) << daemon_->err_so_far();
    }
    // Both cards have written their first pass (a banner and four lines).
    bool first_passes_written() {
        return wait_until([&] {
            return read_lines(e2e::telemetry_file(env_, emu_->bdf(0), "stats")).size() >= 5 &&
                   read_lines(e2e::telemetry_file(env_, emu_->bdf(1), "stats")).size() >= 5;
        });
    }
    void expect_prompt_clean_exit() {
        const auto signalled = std::chrono::steady_clock::now();
        daemon_->signal(SIGTERM);
        auto r = daemon_->wait(std::chrono::seconds(5));
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, k_prompt_exit);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
    }

    e2e::daemon_env env_;
    std::unique_ptr<e2e::emulator_process> emu_;
    std::unique_ptr<child_process> daemon_;
};

TEST_F(TickModeTest, StopDuringALongSleepExitsPromptly) {
    emu_ = std::make_unique<e2e::emulator_process>(env_, 2);
    start_daemon();
    ASSERT_TRUE(first_passes_written());
    expect_prompt_clean_exit();
}

TEST_F(TickModeTest, CardGoingDownDuringALongSleepParksAndStopsPromptly) {
    emu_ = std::make_unique<e2e::emulator_process>(env_, 2);
    start_daemon();
    ASSERT_TRUE(first_passes_written());
    emu_->ctl("heartbeat 0 fail");
    const std::string events = e2e::telemetry_file(env_, emu_->bdf(0), "event");
    ASSERT_TRUE(wait_until([&] {
        for (const auto &line : read_lines(events)) {
            if (line.find("card down detected") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    expect_prompt_clean_exit();
    // The parked worker sampled nothing more.
    EXPECT_EQ(read_lines(e2e::telemetry_file(env_, emu_->bdf(0), "stats")).size(), 5u);
}

TEST_F(TickModeTest, UnknownModeIsRefusedNamingTheKey) {
    const std::string filter = std::string(R"("card": { "tick_mode": "nap" },)") + e2e::k_minimal_counters;
    child_process daemon({e2e::k_daemon, "-c", env_.write_config(filter)}, env_.env());
    auto r = daemon.wait();
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Error - filter.card.tick_mode must be \"spin\" or \"sleep\", not \"nap\"\n");
}

}  // namespace
