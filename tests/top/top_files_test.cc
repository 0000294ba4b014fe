// talonmon-top reading the telemetry files: lines followed across appends,
// rotations and truncation, and the readings and card states they give.
#include "top/top_config.hpp"
#include "top/top_file_follower.hpp"
#include "top/top_model.hpp"
#include "top/top_telemetry_source.hpp"
#include "testkit/process.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <fstream>
#include <sstream>
#include <tuple>

namespace {

void append(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << text;
}

std::vector<std::string> poll(top_file_follower &f) {
    std::vector<std::string> lines;
    f.poll(lines);
    return lines;
}

// A LIF's statistics line; the retransmit change is left out as the daemon
// leaves out a change below its threshold.
std::string stats_line(const std::string &time, uint64_t tx, std::optional<uint64_t> retransmit = 7,
                       const std::string &name = "lif1") {
    return "{\"uuid\": \"c-1\",\"bdf\": \"0000:05:00.0\",\"timestamp\":\"2026-03-14 " + time + "\",\"lif\": {\"id\": \"l-" +
           name + "\",\"name\": \"" + name + "\",\"counters\": [{\"name\": \"tx_rdma_unicast_bytes\",\"value\": " +
           std::to_string(tx) + "}" +
           (retransmit ? ", {\"name\": \"tx_rdma_retransmit_bytes\",\"value\": " + std::to_string(*retransmit) + "}" : "") +
           "]}}\n";
}

std::string card_line(const std::string &time, const std::string &description) {
    return "{\"uuid\": \"c-1\",\"bdf\": \"0000:05:00.0\",\"timestamp\":\"2026-03-14 " + time +
           "\",\"card\": {\"id\": \"c-1\",\"description\": \"" + description + "\"}}\n";
}

TEST(TopFileFollower, EveryLineOnceAcrossAppendsRotationAndTruncation) {
    test_support::temp_dir dir;
    const std::string path = dir / "card_x_stats.log";
    top_file_follower follower(path);
    EXPECT_TRUE(poll(follower).empty());  // no file yet

    append(path, "*** Boot #1 ***\none\ntw");
    EXPECT_EQ(poll(follower), (std::vector<std::string>{"*** Boot #1 ***", "one"}));
    append(path, "o\n");
    EXPECT_EQ(poll(follower), (std::vector<std::string>{"two"}));

    // The daemon writes more, then rotates: the rest of the old file comes
    // before the new file's lines.
    append(path, "three\n");
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    append(path, "*** Boot #1 ***\nfour\n");
    EXPECT_EQ(poll(follower), (std::vector<std::string>{"three", "*** Boot #1 ***", "four"}));

    // Truncated in place: read again from the start.
    { std::ofstream(path, std::ios::trunc) << "five\n"; }
    EXPECT_EQ(poll(follower), (std::vector<std::string>{"five"}));
    EXPECT_TRUE(poll(follower).empty());
}

TEST(TopFileFollower, ALongFileIsReadFromItsTailAtALineStart) {
    test_support::temp_dir dir;
    const std::string path = dir / "f.log";
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    append(path, text);
    top_file_follower follower(path, 100);
    const auto lines = poll(follower);
    ASSERT_FALSE(lines.empty());
    EXPECT_LT(lines.size(), 20u);
    EXPECT_EQ(lines.front().rfind("line ", 0), 0u);  // no partial first line
    EXPECT_EQ(lines.back(), "line 999");
}

TEST(TopTelemetrySource, ReadingsStatesAndRatesFromTheFilesAndTheirErrors) {
    test_support::temp_dir dir;
    const std::string stats = dir / "card_0000:05:00.0_stats.log";
    const std::string event = dir / "card_0000:05:00.0_event.log";
    top_config_s config;
    config.lif_period = 0.5;
    // As shipped: the retransmitted bytes are a delta counter with a threshold.
    config.counters["lif/tx_rdma_retransmit_bytes"] = {false, 4096, true};
    top_telemetry_source source(dir.path(), config);
    top_model model;
    model.set_periods(config.lif_period, config.port_period);
    top_snapshot_s s;
    auto step = [&](const std::string &lines) {
        append(stats, lines);
        ASSERT_EQ(source.poll(s), "");
        model.update(s);
    };
    // The first LIF's TX and retransmit rates and its RETX share: "-" where
    // there is none, "+" after a lower bound.
    auto lif = [&] {
        const top_entity_view_s &e = model.cards().at(0).entities.at(0);
        std::ostringstream out;
        for (const top_counter_view_s *c : {e.counter("tx_rdma_unicast_bytes"), e.counter("tx_rdma_retransmit_bytes")}) {
            (c->rate ? out << *c->rate : out << "-") << (c->lower_bound ? "+ " : " ");
        }
        (e.retransmit_share ? out << *e.retransmit_share << (e.share_lower_bound ? "+" : "") : out << "-");
        return out.str();
    };
    // The first change after the banner is the whole raw counter: no rate.
    step("*** Boot #3 ***\n" + stats_line("09:00:00.000", 1000, 50000) + "not json\n" +
         stats_line("09:00:00.500", 2000, 5000));
    append(event, card_line("09:00:00.100", "card up detected"));
    step("");
    EXPECT_EQ(std::tuple(model.cards().at(0).state, *model.cards().at(0).since, lif()),
              std::tuple(top_card_view_state_e::up, *top_parse_timestamp("2026-03-14 09:00:00.100"), "- - -"));
    // Changes become rates by the lines' time stamps: every pass is in the
    // files, so RETX% is exact.
    step(stats_line("09:00:01.000", 3000, 5000) + stats_line("09:00:01.500", 4000, 5000));
    EXPECT_EQ(lif(), "2000 10000 5");
    // A pass below the threshold is not in the file: what it changed is
    // unknown, so the span proves only a lower bound, and a lower bound of 0
    // no share.
    step(stats_line("09:00:02.000", 5000, std::nullopt) + stats_line("09:00:02.500", 6000, 3000));
    EXPECT_EQ(lif(), "2000 3000+ 1.5+");
    step(stats_line("09:00:03.000", 7000, std::nullopt));
    EXPECT_EQ(lif(), "2000 0+ -");
    // The daemon restarts: its first change is not a rate; the cumulative
    // counter keeps its rate.
    step("*** Boot #3 ***\n" + stats_line("09:00:04.000", 9000, 999999));
    EXPECT_EQ(lif(), "2000 - -");
    step(stats_line("09:00:04.500", 10000, 4096));
    EXPECT_EQ(lif(), "2000 8192 4.096");
    // A LIF that stopped appearing while its card goes on: its values are
    // more than two periods old, so no rate.
    step(stats_line("09:00:06.000", 1, 4096, "lif2"));
    EXPECT_EQ(lif(), "- - -");

    append(event, card_line("09:00:06.600", "card down detected"));
    step("");
    EXPECT_EQ(model.cards().at(0).state, top_card_view_state_e::down);

    // A time stamp without its milliseconds is not one; a directory that
    // cannot be read is named in the error.
    EXPECT_FALSE(top_parse_timestamp("2026-03-14 09:00:00") || top_parse_timestamp("yesterday"));
    top_telemetry_source missing("/nonexistent/talonmon-top-test", {});
    EXPECT_NE(missing.poll(s).find("/nonexistent/talonmon-top-test"), std::string::npos);
}

// The daemon's configuration as talonmon-top reads it: each period from its
// own key, the endpoint only when one is given, the daemon's defaults otherwise.
TEST(TopConfig, PeriodsEndpointAndDefaultsFromTheDaemonsConfiguration) {
    test_support::temp_dir dir;
    const std::string path = dir / "talonmon.json";
    auto read = [&](const std::string &top, const std::string &lif, const std::string &port) {
        test_support::write_file(path, "{" + top + R"("filter": {"card": {}, "lif": {)" + lif +
                                           R"("counters": []}, "port": {)" + port + R"("counters": []}}})");
        top_config_s config;
        EXPECT_EQ(top_read_config(path, config), "");
        return std::tuple(config.telemetry_dir, config.listen, config.lif_period, config.port_period);
    };
    EXPECT_EQ(read(R"("telemetry_dir": "/srv/t", "prometheus": {"listen": "127.0.0.1:9"}, )",
                   R"("poll_interval": 200000, )", R"("poll_interval": 3000000, )"),
              std::tuple("/srv/t", "127.0.0.1:9", 0.2, 3.0));
    EXPECT_EQ(read("", "", ""), std::tuple("/var/run", std::nullopt, 0.1, 0.1));
}

}  // namespace
