// The tick schedules of the workers and of the health checker. A worker's
// is read from the order of the lines in a card's statistics file: every
// sampling pass of a kind writes one line per entity, so the file spells
// out, pass by pass, which kinds were due on which tick. Spinning and
// sleeping workers must write the same schedule.
#include "monitor/talonmon_state.hpp"
#include "monitor/talonmon_worker.hpp"
#include "tests/monitor/emulated_host.hpp"
#include "utils/log/trace.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

namespace {

using test_support::emulated_host;
using test_support::wait_until;

constexpr size_t k_min_schedule_length = 24;

// The start of the lines of the card's first LIF ("lif") or port ("port").
std::string first_entity(const emulated_host &host, const std::string &kind) {
    const auto &card = host.cards_json().begin()->second;
    return "\"" + kind + "\": {\"id\": \"" + card.get_child(kind + "s").begin()->second.get<std::string>("uuid");
}

// The file's lines as one letter each: L for the first LIF, P for the first
// port; the lines of other entities are left out.
std::string schedule_of(const emulated_host &host) {
    const std::string lif = first_entity(host, "lif"), port = first_entity(host, "port");
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

class WorkerScheduleTest : public testing::TestWithParam<talonmon_tick_mode_e> {
protected:
    void SetUp() override {
        host_ = std::make_unique<emulated_host>(1, 1, 1);
        g_tick_mode = GetParam();
        params_.log_dir = host_->log_dir();
        params_.telemetry_dir = host_->telemetry_dir();
        params_.card_liveness_poll_interval = 1000000;
        params_.lif_counters = {{"rx_rdma_unicast_packets", true, 0, false, true}};
        params_.port_counters = {{"frames_tx_ok", true, 0, false, true}};
    }
    void TearDown() override {
        g_talonmon_state.teardown();
        host_.reset();
    }
    std::unique_ptr<emulated_host> host_;
    talonmon_init_params_s params_{};
};

// Through the daemon's own start-up: a 450-microsecond interval is a period
// of 4 ticks (the remainder is dropped), a 100-microsecond one a period of
// 1. Pass 0 samples both kinds, LIFs first; passes 1 to 3 ports alone; then
// again from pass 4. The only worker test that runs the health checker,
// which discovers the card on its first pass.
TEST_P(WorkerScheduleTest, KindsAreSampledOnMultiplesOfTheirPeriodRoundedDownToWholeTicks) {
    params_.lif_poll_interval = 450;
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
    EXPECT_EQ(g_lif_poll_ticks, 4u);
    const std::string schedule = schedule_of(*host_);
    std::string expected;
    while (expected.size() < schedule.size()) {
        expected += "LPPPP";
    }
    EXPECT_EQ(schedule, expected.substr(0, schedule.size()));
}

// The milliseconds of the day of each line of the first LIF.
std::vector<int64_t> lif_line_times(const emulated_host &host) {
    const std::string lif = first_entity(host, "lif");
    const std::regex stamp(R"re("timestamp":"\d{4}-\d\d-\d\d (\d\d):(\d\d):(\d\d)\.(\d{3})")re");
    std::vector<int64_t> times;
    for (const auto &line : host.file_lines(0, "stats")) {
        std::smatch m;
        if (line.find(lif) != std::string::npos && std::regex_search(line, m, stamp)) {
            times.push_back(((std::stoll(m[1]) * 60 + std::stoll(m[2])) * 60 + std::stoll(m[3])) * 1000 +
                            std::stoll(m[4]));
        }
    }
    return times;
}

// A tick is 100 microseconds in both modes: with a period of 500 ticks the
// passes come 50 ms apart. A worker may fall behind (a spinning one does on
// a loaded machine), never ahead; a sleeping one keeps to its schedule.
TEST_P(WorkerScheduleTest, PassesAreTheirPeriodInTicksApart) {
    constexpr uint64_t k_period_ticks = 500;
    constexpr int64_t k_period_ms = 50;
    constexpr size_t k_passes = 9;
    g_lif_poll_ticks = g_port_poll_ticks = k_period_ticks;
    ASSERT_EQ(g_talonmon_state.init(&params_), 0);
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_TRUE(wait_until([&] { return lif_line_times(*host_).size() >= k_passes; }));
    g_talonmon_state.teardown();
    const auto times = lif_line_times(*host_);
    constexpr int64_t k_day_ms = int64_t{24} * 3600 * 1000;
    const int64_t span = (times[k_passes - 1] - times[0] + k_day_ms) % k_day_ms;  // across midnight too
    const int64_t expected = static_cast<int64_t>(k_passes - 1) * k_period_ms;
    EXPECT_GE(span + 1, expected) << "passes closer than their period";  // stamps are whole milliseconds
    if (GetParam() == TALONMON_TICK_MODE_SLEEP) {
        EXPECT_LE(span, expected + expected / 2) << "a sleeping worker's passes drifted apart";
    }
}

INSTANTIATE_TEST_SUITE_P(TickModes, WorkerScheduleTest,
                         testing::Values(TALONMON_TICK_MODE_SPIN, TALONMON_TICK_MODE_SLEEP),
                         [](const auto &info) { return info.param == TALONMON_TICK_MODE_SPIN ? "Spin" : "Sleep"; });

using steady = std::chrono::steady_clock;

constexpr uint64_t k_liveness_ticks = 500;  // 50 ms

// With a liveness pass every 50 ms the checker's tick follows the clock: a
// loop that counted its own passes as ticks fell a third behind and more.
TEST(HealthChecker, TicksFollowTheClockAndStopIsPrompt) {
    emulated_host host(1, 1, 1);
    g_liveness_poll_ticks = g_lif_poll_ticks = g_port_poll_ticks = k_liveness_ticks;
    talonmon_init_params_s params{};
    params.telemetry_dir = host.telemetry_dir();
    ASSERT_EQ(g_talonmon_state.init(&params), 0);

    const auto started = steady::now();
    std::thread checker([] { talonmon_health_checker(nullptr); });
    // Thirty passes or more.
    EXPECT_TRUE(wait_until([] { return talonmon_health_tick() >= 30 * k_liveness_ticks; }, std::chrono::seconds(30)));
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
