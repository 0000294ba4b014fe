// Telemetry files of the running daemon against talon-emu, read as an
// operator's tools would read them.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

namespace {

using test_support::read_lines;
using test_support::wait_until;

const std::string k_filter = R"(
        "card": { "liveness_poll_interval": 100000 },
        "lif": { "poll_interval": 2000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "tx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "tx_rdma_unicast_packets", "cumulative": false, "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "action": { "stats_record": true, "event_record": true } },
            { "counter": "rx_rdma_responder_dup_requests", "cumulative": false, "threshold": { "value": 1000000000000 },
              "action": { "stats_record": true, "event_record": true } } ] },
        "port": { "poll_interval": 2000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

using TelemetryTest = e2e::daemon_test;

// The lines of two cards have their exact form and the cards' values. When
// card 0 fails its heartbeat, it has one health record and its worker parks
// after a whole pass while the other card samples on; standard error (the
// journal) and the trace log have the card's one line.
TEST_F(TelemetryTest, LinesHaveTheExactFormAndTheCardsValuesAndAFailedCardParks) {
    start_emulator(2);
    emu_->ctl("set 0 lif 0 tx_rdma_unicast_bytes 18446744073709551615");
    emu_->ctl("set 1 port 0 frames_tx_ok 42");
    start_daemon(k_filter);
    ASSERT_TRUE(grows(0, "stats") && grows(1, "stats") && grows(0, "event"));

    const std::string down_record = R"("card": {"id": ")" + emu_->card(0).get<std::string>("uuid") +
                                    R"(","description": "card down detected"}})";
    auto down_records = [&] { return e2e::count_containing(read_lines(telemetry(0, "event")), down_record); };
    emu_->ctl("heartbeat 0 fail");
    ASSERT_TRUE(wait_until([&] { return down_records() == 1; }));
    // The worker may finish the pass it is in before it parks: two passes of
    // the other card later, the file holds whole passes of four lines.
    ASSERT_TRUE(grows(1, "stats", 8));
    ASSERT_TRUE(wait_until([&] { return lines_of(0, "stats") % 4 == 1; }));
    // While the other card writes 200 more passes (400 ms or more, several
    // inspections at one every 100 ms): still one record, and the parked
    // worker writes nothing.
    const size_t parked = lines_of(0, "stats");
    const size_t other = lines_of(1, "stats");
    EXPECT_TRUE(wait_until([&] { return lines_of(1, "stats") >= other + 800; }, std::chrono::seconds(30)));
    EXPECT_EQ(down_records(), 1u);
    EXPECT_EQ(lines_of(0, "stats"), parked);
    EXPECT_EQ(test_support::read_file(telemetry(1, "event")).find("card down"), std::string::npos)
        << "the other card has no health records";
    const std::string down_line = "TALON " + emu_->bdf(0) + " - card down detected";
    EXPECT_EQ(stop_daemon().err, down_line + ": it failed its heartbeat\n");
    EXPECT_EQ(e2e::count_containing(read_lines(env_.trace_file()), down_line), 1u);

    // Each entity's lines in their exact form, values captured. The counter
    // held under its threshold never appears. The firmware reports one
    // statistics region per card, and every port is read at its start.
    const std::string value = R"((0|[1-9]\d*))";
    auto counter = [](const std::string &name, const std::string &pattern) {
        return R"(\{"name": ")" + name + R"(","value": )" + pattern + R"(\})";
    };
    const std::regex entity_id(R"re("(lif|port)": \{"id": "([^"]+)")re");
    for (unsigned card = 0; card < 2; ++card) {
        const std::string head = R"(\{"uuid": ")" + emu_->card(card).get<std::string>("uuid") + R"(","bdf": ")" +
                                 emu_->bdf(card) + R"(","timestamp":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}",")";
        std::map<std::string, std::pair<std::regex, std::regex>> forms;  // id -> (statistics, event)
        for (auto [list, kind] : {std::pair{"lifs", "lif"}, std::pair{"ports", "port"}}) {
            for (const auto &e : emu_->card(card).get_child(list)) {
                const std::string id = e.second.get<std::string>("uuid");
                const std::string entity = head + kind + R"(": \{"id": ")" + id + R"(","name": ")" +
                                           e.second.get<std::string>("name") + R"(","counters": \[)";
                const std::string first = card == 0 && forms.empty() ? "(18446744073709551615)" : value;
                const std::string port = card == 1 ? "(42)" : value;
                forms[id] = std::string(kind) == "lif"
                                ? std::pair{std::regex(entity + counter("tx_rdma_unicast_bytes", first) + ", " +
                                                       counter("tx_rdma_unicast_packets", value) + ", " +
                                                       counter("tx_rdma_unicast_packets", value) + ", " +
                                                       counter("rx_rdma_unicast_bytes", value) + R"(\]\}\})"),
                                            std::regex(entity + counter("rx_rdma_unicast_bytes", value) + R"(\]\}\})")}
                                : std::pair{std::regex(entity + counter("frames_tx_ok", port) + R"(\]\}\})"),
                                            std::regex("^$")};
            }
        }
        // id -> the values of each line, statistics and events.
        std::map<std::string, std::vector<std::vector<uint64_t>>> stats, events;
        for (auto [type, values] : {std::pair{"stats", &stats}, std::pair{"event", &events}}) {
            const auto lines = read_lines(telemetry(card, type));
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], "*** Boot #7 ***");
            for (size_t i = 1; i < lines.size(); ++i) {
                std::smatch id, m;
                if (lines[i].find(R"(,"card": {)") != std::string::npos) {
                    continue;  // the health record, counted above
                }
                ASSERT_TRUE(std::regex_search(lines[i], id, entity_id) && forms.count(id[2])) << lines[i];
                const auto &form = type == std::string("stats") ? forms[id[2]].first : forms[id[2]].second;
                ASSERT_TRUE(std::regex_match(lines[i], m, form)) << lines[i];
                auto &line_values = (*values)[id[2]].emplace_back();
                for (size_t v = 1; v < m.size(); ++v) {
                    line_values.push_back(std::stoull(m[v]));
                }
            }
        }
        EXPECT_EQ(stats.size(), 4u) << "two LIFs and two ports";
        for (const auto &[id, lines] : stats) {
            if (lines.front().size() == 1) {
                continue;  // a port
            }
            // The delta entry reads the same counter just after the cumulative
            // one, and the emulated counter only grows, so the running sum of
            // deltas (the delta entry's own reading) lies between this pass's
            // cumulative reading and the next pass's. The counter with both
            // records has one event line per statistics line, same value.
            ASSERT_EQ(events[id].size(), lines.size()) << id;
            uint64_t delta_reading = 0;
            for (size_t n = 0; n < lines.size(); ++n) {
                delta_reading += lines[n][2];
                EXPECT_GE(delta_reading, lines[n][1]) << "pass " << n;
                if (n + 1 < lines.size()) {
                    EXPECT_LE(delta_reading, lines[n + 1][1]) << "pass " << n;
                }
                EXPECT_EQ(events[id][n], std::vector<uint64_t>{lines[n][3]}) << "pass " << n;
            }
        }
    }
}

TEST_F(TelemetryTest, StatisticsFileRotatesPastTenMebibytesAndARestartAppendsThroughAClockStep) {
    start_emulator(1);
    const std::string stats = telemetry(0, "stats");
    const std::string filler(99, 'x');
    std::string content;
    while (content.size() + 100 <= 10485760 - 300) {
        content += filler + "\n";
    }
    test_support::write_file(stats, content);
    // Copies of earlier rotations: each moves up one place, the oldest kept
    // (the fifth) goes, and no sixth appears.
    constexpr int k_kept_copies = 5;
    for (int copy = 1; copy <= k_kept_copies; ++copy) {
        test_support::write_file(stats + "." + std::to_string(copy), "copy " + std::to_string(copy) + "\n");
    }
    start_daemon(k_filter);
    ASSERT_TRUE(wait_until([&] { return test_support::read_file(stats + ".1") != "copy 1\n"; }));
    ASSERT_TRUE(grows(0, "stats"));
    EXPECT_EQ(stop_daemon().err, "");

    const std::string rotated = test_support::read_file(stats + ".1");
    EXPECT_TRUE(rotated.starts_with(content + "*** Boot #7 ***\n")) << "the old content, then the banner";
    EXPECT_LE(rotated.size(), 10485760u + 16u);
    for (int copy = 2; copy <= k_kept_copies; ++copy) {
        EXPECT_EQ(test_support::read_file(stats + "." + std::to_string(copy)),
                  "copy " + std::to_string(copy - 1) + "\n");
    }
    EXPECT_FALSE(test_support::file_exists(stats + "." + std::to_string(k_kept_copies + 1)));
    auto live = read_lines(stats);
    ASSERT_GE(live.size(), 2u);
    EXPECT_EQ(live[0], "*** Boot #7 ***");
    EXPECT_EQ(live[1].rfind("{\"uuid\": ", 0), 0u);

    // A restart appends to the same file, after a banner of its own. Two
    // seconds after it starts (after its first lines even on a loaded
    // machine) its wall clock goes back 20 s, as an NTP step would: the time
    // stamps go back, and sampling and the stop go on.
    const size_t first_run = live.size();
    start_daemon(k_filter, "", {std::string("LD_PRELOAD=") + CLOCK_STEP_SHIM, "TALON_TEST_CLOCK_STEP_AFTER_MS=2000",
                                "TALON_TEST_CLOCK_STEP_S=-20", "ASAN_OPTIONS=verify_asan_link_order=0"});
    const std::regex stamp(R"re("timestamp":"([^"]+)")re");
    const auto stepped_back = [&] {
        std::string previous;
        for (const auto &line : read_lines(stats)) {
            std::smatch m;
            if (std::regex_search(line, m, stamp)) {
                if (m[1].str() < previous) {
                    return true;
                }
                previous = m[1];
            }
        }
        return false;
    };
    ASSERT_TRUE(wait_until(stepped_back, std::chrono::seconds(20))) << "the clock did not step";
    EXPECT_TRUE(grows(0, "stats", 10)) << "sampling stopped after the clock step";
    EXPECT_EQ(stop_daemon().err, "");
    live = read_lines(stats);
    ASSERT_GT(live.size(), first_run + 1);
    EXPECT_EQ(live[first_run], "*** Boot #7 ***");
    EXPECT_EQ(std::count(live.begin(), live.end(), "*** Boot #7 ***"), 2);
}

}  // namespace
