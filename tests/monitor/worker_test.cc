// The worker's tick schedule, read from the order of the lines in a card's
// statistics file: every sampling pass of a kind writes one line per entity,
// so the file spells out, pass by pass, which kinds were due on which tick.
// Spinning and sleeping workers must write the same schedule.
#include "monitor/talonmon_state.hpp"
#include "monitor/talonmon_worker.hpp"
#include "tests/monitor/emulated_host.hpp"
#include "utils/log/log.hpp"
#include "utils/log/trace.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

using test_support::emulated_host;
using test_support::wait_until;

constexpr size_t k_min_schedule_length = 24;

// The file's lines as one letter each: L for the first LIF, P for the first
// port; the lines of other entities are left out.
std::string schedule_of(const emulated_host &host) {
    const auto &card = host.cards_json().begin()->second;
    const std::string lif = "\"lif\": {\"id\": \"" + card.get_child("lifs").begin()->second.get<std::string>("uuid");
    const std::string port =
        "\"port\": {\"id\": \"" + card.get_child("ports").begin()->second.get<std::string>("uuid");
    std::string schedule;
    for (const auto &line : host.file_lines(0, "stats")) {
        if (line.find(lif) != std::string::npos) {
            schedule += 'L';
        } else if (line.find(port) != std::string::npos) {
            schedule += 'P';
        }
    }
    return schedule;
}

// What passes 0, 1, 2, ... write for the given periods in ticks.
std::string expected_schedule(uint64_t lif_ticks, uint64_t port_ticks, size_t length) {
    std::string schedule;
    for (uint64_t tick = 0; schedule.size() < length; ++tick) {
        if (tick % lif_ticks == 0) {
            schedule += 'L';
        }
        if (tick % port_ticks == 0) {
            schedule += 'P';
        }
    }
    return schedule.substr(0, length);
}

talonmon_init_params_s monitor_params(const emulated_host &host) {
    talonmon_init_params_s params{};
    params.log_dir = host.log_dir();
    params.telemetry_dir = host.telemetry_dir();
    params.card_liveness_poll_interval = 1000000;
    params.lif_counters = {{"rx_rdma_unicast_packets", true, 0, false, true}};
    params.port_counters = {{"frames_tx_ok", true, 0, false, true}};
    return params;
}

class WorkerScheduleTest : public testing::TestWithParam<talonmon_tick_mode_e> {
protected:
    void SetUp() override { g_tick_mode = GetParam(); }
    void TearDown() override {
        g_talonmon_state.teardown();
        host_.reset();
        g_tick_mode = TALONMON_TICK_MODE_SPIN;
        g_sampling_report_period_ns = k_sampling_report_period_ns;
    }
    void start_host(unsigned lifs = 1) {
        host_ = std::make_unique<emulated_host>(1, 1, lifs);
        params_ = monitor_params(*host_);
    }
    // Starts the monitor state with the given periods and the card's worker.
    void start_worker(uint64_t lif_ticks, uint64_t port_ticks) {
        g_lif_poll_ticks = lif_ticks;
        g_port_poll_ticks = port_ticks;
        ASSERT_EQ(g_talonmon_state.init(&params_), 0);
        ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    }
    // Runs the worker until it has written a schedule long enough to compare.
    void run_worker(uint64_t lif_ticks, uint64_t port_ticks) {
        start_worker(lif_ticks, port_ticks);
        ASSERT_TRUE(wait_until([&] { return schedule_of(*host_).size() >= k_min_schedule_length; }));
        g_talonmon_state.teardown();
    }

    std::unique_ptr<emulated_host> host_;
    talonmon_init_params_s params_;
};

TEST_P(WorkerScheduleTest, KindsAreSampledOnMultiplesOfTheirOwnPeriodLifsFirst) {
    start_host();
    run_worker(4, 1);
    const std::string schedule = schedule_of(*host_);
    // Pass 0 samples both kinds, LIFs first; then LIFs again on passes 4, 8, ...
    EXPECT_EQ(schedule.substr(0, 10), "LPPPPLPPPP");
    EXPECT_EQ(schedule, expected_schedule(4, 1, schedule.size()));
}

// Passes that take longer than a tick are logged and not made up for: the
// schedule stays counted in passes, whatever the time they took.
TEST_P(WorkerScheduleTest, OverrunningPassesAreLoggedAndKeepTheSchedule) {
    // Many LIFs with every counter in both records make each pass write a
    // few hundred lines: far more than one tick's work.
    start_host(64);
    params_.lif_counters.clear();
    for (const char *name : {"tx_rdma_unicast_bytes", "tx_rdma_unicast_packets", "rx_rdma_unicast_bytes",
                             "rx_rdma_unicast_packets", "tx_rdma_retransmit_bytes", "tx_rdma_retransmit_packets",
                             "rx_rdma_responder_dup_requests"}) {
        params_.lif_counters.push_back({name, true, 0, true, true});
    }
    g_trace_logger->set_trace_level(trace_level_verbose);
    run_worker(1, 3);
    const std::string schedule = schedule_of(*host_);
    EXPECT_EQ(schedule, expected_schedule(1, 3, schedule.size()));

    static const std::regex overrun(
        R"(^\[talonmon_worker:\d+\] stats monitor time (\d+) is more than the granular monitor interval 100000$)");
    size_t overruns = 0;
    for (const auto &message : host_->trace_messages()) {
        std::smatch match;
        if (std::regex_match(message, match, overrun)) {
            ++overruns;
            EXPECT_GT(std::stoull(match[1]), 100000u) << message;
        }
    }
    EXPECT_GT(overruns, 0u);
}

// Through the daemon's own start-up: a 250-microsecond interval is a period
// of 2 ticks (the remainder is dropped). The only test here that runs the
// health checker, which discovers the card on its first pass.
TEST_P(WorkerScheduleTest, IntervalsAreRoundedDownToWholeTicks) {
    start_host();
    params_.lif_poll_interval = 250;
    params_.port_poll_interval = 100;
    params_.tick_mode = GetParam();
    // talonmon_init starts the trace log itself.
    utils::trace_cleanup(g_trace_logger);
    g_trace_logger = nullptr;
    int rc = -1;
    std::thread daemon([&] { rc = talonmon_init(&params_); });
    const bool written = wait_until([&] { return schedule_of(*host_).size() >= k_min_schedule_length; });
    g_talonmon_state.set_running(false);
    daemon.join();
    ASSERT_TRUE(written);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(g_lif_poll_ticks, 2u);
    const std::string schedule = schedule_of(*host_);
    EXPECT_EQ(schedule.substr(0, 8), "LPPLPPLP");
    EXPECT_EQ(schedule, expected_schedule(2, 1, schedule.size()));
}

// However far the next tick lies, a stop ends the worker's wait promptly;
// a card that goes down and is let go again keeps its schedule.
TEST_P(WorkerScheduleTest, StopEndsALongWaitAndDownKeepsTheSchedule) {
    start_host();
    start_worker(100000, 100000);  // ten seconds
    ASSERT_TRUE(wait_until([&] { return schedule_of(*host_) == "LP"; }));
    talonmon_card_ctxt_s &card = g_talonmon_state.card(0);
    card.set_down(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    card.set_down(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto stopping = std::chrono::steady_clock::now();
    g_talonmon_state.teardown();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(500));
    EXPECT_EQ(schedule_of(*host_), "LP");
}

TEST_P(WorkerScheduleTest, EachCardReportsItsSamplingPeriodically) {
    g_sampling_report_period_ns = 200000000;
    start_host();
    start_worker(10, 10);
    ASSERT_TRUE(wait_until([&] { return host_->trace_count("sampling of " + host_->card_bdf(0)) >= 2; }));
    const uint64_t passes = g_talonmon_state.card(0).sampling_passes();
    g_talonmon_state.teardown();

    static const std::regex line(R"(^\[\w+:\d+\] sampling of (\S+): (\d+) passes, \d+ overruns, )"
                                 R"(max lateness \d+ us in the last 0 s$)");
    uint64_t reported = 0;
    for (const auto &message : host_->trace_messages()) {
        std::smatch match;
        if (std::regex_match(message, match, line)) {
            EXPECT_EQ(match[1], host_->card_bdf(0));
            EXPECT_GT(std::stoull(match[2]), 0u) << message;
            reported += std::stoull(match[2]);
        }
    }
    // The lines count disjoint stretches of the passes counted so far.
    EXPECT_GT(reported, 0u);
    EXPECT_LE(reported, passes);
}

INSTANTIATE_TEST_SUITE_P(TickModes, WorkerScheduleTest,
                         testing::Values(TALONMON_TICK_MODE_SPIN, TALONMON_TICK_MODE_SLEEP),
                         [](const auto &info) { return info.param == TALONMON_TICK_MODE_SPIN ? "Spin" : "Sleep"; });

}  // namespace
