// Telemetry files of the running daemon against talon-emu, read as an
// operator's tools would read them.
#include "tests/e2e/emulated_daemon.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using test_support::read_lines;
using test_support::wait_until;
namespace pt = boost::property_tree;

// One telemetry line, checked for its exact form and parsed as JSON.
struct telemetry_line {
    std::string kind;  // "lif" or "port"
    std::string id;
    std::string name;
    std::vector<std::pair<std::string, uint64_t>> counters;
};

telemetry_line parse_line(const std::string &line, const std::string &uuid, const std::string &bdf) {
    static const std::string counter = R"(\{"name": "[a-z_]+","value": (0|[1-9]\d*)\})";
    const std::regex form("^\\{\"uuid\": \"" + uuid + "\",\"bdf\": \"" + bdf +
                          R"re(","timestamp":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}","(lif|port)": )re"
                          R"(\{"id": "[0-9a-f-]{36}","name": "[^"]+","counters": \[)" +
                          counter + "(, " + counter + R"re()*\]\}\}$)re");
    EXPECT_TRUE(std::regex_match(line, form)) << line;
    telemetry_line parsed;
    pt::ptree tree;
    std::istringstream in(line);
    pt::read_json(in, tree);  // throws on invalid JSON
    for (const char *kind : {"lif", "port"}) {
        if (auto section = tree.get_child_optional(kind)) {
            parsed.kind = kind;
            parsed.id = section->get<std::string>("id");
            parsed.name = section->get<std::string>("name");
            for (const auto &c : section->get_child("counters")) {
                parsed.counters.emplace_back(c.second.get<std::string>("name"),
                                             std::stoull(c.second.get<std::string>("value")));
            }
        }
    }
    return parsed;
}

// The lines of a telemetry file after its banner, grouped by entity id.
std::map<std::string, std::vector<telemetry_line>> read_telemetry(const std::string &path, const std::string &uuid,
                                                                  const std::string &bdf) {
    auto lines = read_lines(path);
    EXPECT_FALSE(lines.empty()) << path;
    std::map<std::string, std::vector<telemetry_line>> by_entity;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == 0) {
            EXPECT_EQ(lines[i], "*** Boot #7 ***");
            continue;
        }
        auto parsed = parse_line(lines[i], uuid, bdf);
        by_entity[parsed.id].push_back(parsed);
    }
    return by_entity;
}

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

TEST_F(TelemetryTest, LinesHaveTheExactFormAndTheCardsValues) {
    start_emulator(2);
    emu_->ctl("set 0 lif 0 tx_rdma_unicast_bytes 18446744073709551615");
    emu_->ctl("set 1 port 0 frames_tx_ok 42");
    start_daemon(k_filter);
    ASSERT_TRUE(grows(0, "stats") && grows(1, "stats") && grows(0, "event"));
    EXPECT_EQ(stop_daemon().err, "");

    for (unsigned card = 0; card < 2; ++card) {
        const std::string uuid = emu_->card(card).get<std::string>("uuid"), bdf = emu_->bdf(card);
        std::map<std::string, std::pair<std::string, std::string>> known;  // id -> (kind, name)
        for (auto [list, kind] : {std::pair{"lifs", "lif"}, std::pair{"ports", "port"}}) {
            for (const auto &e : emu_->card(card).get_child(list)) {
                known[e.second.get<std::string>("uuid")] = {kind, e.second.get<std::string>("name")};
            }
        }
        auto stats = read_telemetry(e2e::telemetry_file(env_, bdf, "stats"), uuid, bdf);
        auto events = read_telemetry(e2e::telemetry_file(env_, bdf, "event"), uuid, bdf);
        EXPECT_EQ(stats.size(), 4u) << "two LIFs and two ports";
        for (const auto &[id, lines] : stats) {
            ASSERT_TRUE(known.count(id)) << id;
            for (const auto &line : lines) {
                EXPECT_EQ(line.kind, known[id].first);
                EXPECT_EQ(line.name, known[id].second);
            }
            if (lines.front().kind == "port") {
                for (const auto &line : lines) {
                    ASSERT_EQ(line.counters.size(), 1u);
                }
                continue;
            }
            // The delta entry reads the same counter just after the cumulative
            // one, and the emulated counter only grows, so the running sum of
            // deltas (the delta entry's own reading) lies between this pass's
            // cumulative reading and the next pass's. The counter held under
            // its threshold never appears.
            uint64_t delta_reading = 0;
            for (size_t n = 0; n < lines.size(); ++n) {
                ASSERT_EQ(lines[n].counters.size(), 4u);
                EXPECT_EQ(lines[n].counters[1].first, "tx_rdma_unicast_packets");
                delta_reading += lines[n].counters[2].second;
                EXPECT_GE(delta_reading, lines[n].counters[1].second) << "pass " << n;
                if (n + 1 < lines.size()) {
                    EXPECT_LE(delta_reading, lines[n + 1].counters[1].second) << "pass " << n;
                }
            }
            // The counter with both records: one event line per statistics line, same value.
            const auto &event_lines = events[id];
            ASSERT_EQ(event_lines.size(), lines.size()) << id;
            for (size_t n = 0; n < lines.size(); ++n) {
                ASSERT_EQ(event_lines[n].counters.size(), 1u);
                EXPECT_EQ(event_lines[n].counters[0].first, "rx_rdma_unicast_bytes");
                EXPECT_EQ(event_lines[n].counters[0].second, lines[n].counters[3].second);
            }
        }
        if (card == 0) {
            const std::string lif0 = emu_->card(0).get_child("lifs").begin()->second.get<std::string>("uuid");
            for (const auto &line : stats[lif0]) {
                EXPECT_EQ(line.counters[0].second, 18446744073709551615ULL);
            }
        } else {
            // The firmware reports one statistics region per card, and every
            // port is read at its start.
            for (const auto &port : emu_->card(1).get_child("ports")) {
                for (const auto &line : stats[port.second.get<std::string>("uuid")]) {
                    EXPECT_EQ(line.counters[0], std::make_pair(std::string("frames_tx_ok"), uint64_t{42}));
                }
            }
        }
    }
}

TEST_F(TelemetryTest, FailingHeartbeatParksTheCardOnly) {
    start_emulator(2);
    start_daemon(k_filter);
    ASSERT_TRUE(grows(0, "stats"));
    const std::string event_file = telemetry(0, "event");
    auto down_lines = [&] {
        size_t count = 0;
        for (const auto &line : read_lines(event_file)) {
            count += line.find(R"("card": {"id": ")" + emu_->card(0).get<std::string>("uuid") +
                               R"(","description": "card down detected"}})") != std::string::npos;
        }
        return count;
    };
    emu_->ctl("heartbeat 0 fail");
    ASSERT_TRUE(wait_until([&] { return down_lines() == 1; }));
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
    EXPECT_EQ(down_lines(), 1u);
    EXPECT_EQ(lines_of(0, "stats"), parked);
    EXPECT_EQ(test_support::read_file(telemetry(1, "event")).find("card down"),
              std::string::npos)
        << "the other card has no health records";

    // Stopping with one worker parked and one sampling is prompt and clean;
    // standard error (the journal) has the card's one line.
    EXPECT_EQ(stop_daemon().err, "TALON " + emu_->bdf(0) + " - card down detected: it failed its heartbeat\n");
    size_t trace_down = 0;
    for (const auto &line : read_lines(env_.trace_file())) {
        trace_down += line.find("[inspect_card_health:") != std::string::npos &&
                      line.find("TALON " + emu_->bdf(0) + " - card down detected") != std::string::npos;
    }
    EXPECT_EQ(trace_down, 1u);
}

TEST_F(TelemetryTest, StatisticsFileRotatesPastTenMebibytesAndARestartAppends) {
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

    auto rotated = read_lines(stats + ".1");
    ASSERT_GE(rotated.size(), 3u);
    EXPECT_EQ(rotated[0], filler);
    const size_t filler_lines = content.size() / 100;
    ASSERT_GT(rotated.size(), filler_lines);
    EXPECT_EQ(rotated[filler_lines], "*** Boot #7 ***") << "banner between old content and new lines";
    EXPECT_LE(test_support::read_file(stats + ".1").size(), 10485760u + 16u);
    for (int copy = 2; copy <= k_kept_copies; ++copy) {
        EXPECT_EQ(test_support::read_file(stats + "." + std::to_string(copy)),
                  "copy " + std::to_string(copy - 1) + "\n");
    }
    EXPECT_FALSE(test_support::file_exists(stats + "." + std::to_string(k_kept_copies + 1)));
    auto live = read_lines(stats);
    ASSERT_GE(live.size(), 2u);
    EXPECT_EQ(live[0], "*** Boot #7 ***");
    EXPECT_EQ(live[1].rfind("{\"uuid\": ", 0), 0u);

    // A restart appends to the same file, after a banner of its own.
    const size_t first_run = live.size();
    start_daemon(k_filter);
    ASSERT_TRUE(grows(0, "stats"));
    EXPECT_EQ(stop_daemon().err, "");
    live = read_lines(stats);
    ASSERT_GT(live.size(), first_run + 1);
    EXPECT_EQ(live[first_run], "*** Boot #7 ***");
    EXPECT_EQ(std::count(live.begin(), live.end(), "*** Boot #7 ***"), 2);
}

}  // namespace
