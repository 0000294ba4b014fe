// The running daemon under host conditions that must not stop it: a card
// whose firmware stops answering, and a step of the wall clock.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

namespace {

using test_support::child_process;
using test_support::read_lines;
using test_support::wait_until;

const std::string k_fast_filter = R"(
        "card": { "liveness_poll_interval": 100000 },
        "lif": { "poll_interval": 2000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 2000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

size_t count_containing(const std::vector<std::string> &lines, const std::string &text) {
    size_t count = 0;
    for (const auto &line : lines) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

class ResilienceTest : public testing::Test {
protected:
    void start_daemon(std::vector<std::string> extra_env = {}) {
        std::vector<std::string> env = emu_->env();
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        daemon_ = std::make_unique<child_process>(
            std::vector<std::string>{e2e::k_daemon, "-c", env_.write_config(k_fast_filter)}, env);
        ASSERT_TRUE(e2e::wait_for_start(env_, *daemon_)) << daemon_->err_so_far();
    }
    size_t stats_lines() { return read_lines(e2e::telemetry_file(env_, emu_->bdf(0), "stats")).size(); }
    bool stats_grow() {
        const size_t before = stats_lines();
        return wait_until([&] { return stats_lines() > before + 10; }, std::chrono::seconds(5));
    }
    // SIGTERM ends the daemon cleanly within `limit`, far below any hang.
    void expect_clean_stop(std::chrono::seconds limit) {
        daemon_->signal(SIGTERM);
        auto r = daemon_->wait(limit);
        EXPECT_FALSE(r.timed_out) << "the daemon did not stop within " << limit.count() << " s";
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "Exiting TALON monitor ...\n");
    }

    e2e::daemon_env env_;
    std::unique_ptr<e2e::emulator_process> emu_;
    std::unique_ptr<child_process> daemon_;
};

TEST_F(ResilienceTest, HungCardGoesDownAndDoesNotHoldUpAStop) {
    emu_ = std::make_unique<e2e::emulator_process>(env_, 1);
    start_daemon();
    ASSERT_TRUE(stats_grow());

    emu_->signal(SIGSTOP);
    const std::string down = "TALON " + emu_->bdf(0) + " - card down detected";
    // The heartbeat's exchange times out: the card goes down as a failing one does, once.
    EXPECT_TRUE(wait_until([&] { return count_containing(read_lines(env_.trace_file()), down) == 1; },
                           std::chrono::seconds(15)));
    EXPECT_EQ(count_containing(read_lines(e2e::telemetry_file(env_, emu_->bdf(0), "event")), "card down detected"),
              1u);

    // Heartbeats go on into the hung channel; a stop does not wait for them.
    expect_clean_stop(std::chrono::seconds(5));
    emu_->signal(SIGCONT);
    EXPECT_EQ(count_containing(read_lines(env_.trace_file()), "received signal 15, exiting ..."), 1u);
}

TEST_F(ResilienceTest, WallClockStepBackKeepsSamplingAndStopping) {
    emu_ = std::make_unique<e2e::emulator_process>(env_, 1);
    // 300 ms after start the wall clock goes back 20 s, as an NTP step would.
    start_daemon({std::string("LD_PRELOAD=") + CLOCK_STEP_SHIM, "TALON_TEST_CLOCK_STEP_AFTER_MS=300",
                  "TALON_TEST_CLOCK_STEP_S=-20", "ASAN_OPTIONS=verify_asan_link_order=0"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(stats_grow()) << "sampling stopped after the clock step";
    expect_clean_stop(std::chrono::seconds(5));
}

}  // namespace
