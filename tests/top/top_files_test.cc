// talonmon-top reading the telemetry files: lines followed across appends,
// rotations and truncation, and the readings and card states they give.
#include "top/top_file_follower.hpp"
#include "top/top_model.hpp"
#include "top/top_telemetry_source.hpp"
#include "testkit/process.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

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

std::string stats_line(const std::string &time, uint64_t tx, const std::string &name = "lif1") {
    return "{\"uuid\": \"c-1\",\"bdf\": \"0000:05:00.0\",\"timestamp\":\"2026-03-14 " + time + "\",\"lif\": {\"id\": \"l-" +
           name + "\",\"name\": \"" + name + "\",\"counters\": [{\"name\": \"tx_rdma_unicast_bytes\",\"value\": " +
           std::to_string(tx) + "}, {\"name\": \"tx_rdma_retransmit_bytes\",\"value\": 7}]}}\n";
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

TEST(TopTelemetrySource, ReadingsStatesAndRatesFromTheFiles) {
    test_support::temp_dir dir;
    const std::string stats = dir / "card_0000:05:00.0_stats.log";
    const std::string event = dir / "card_0000:05:00.0_event.log";
    top_config_s config;
    config.cumulative["lif/tx_rdma_retransmit_bytes"] = false;
    top_telemetry_source source(dir.path(), config);
    append(stats, "*** Boot #3 ***\n" + stats_line("09:00:00.000", 1000) + "not json\n" + stats_line("09:00:00.500", 2000));
    append(event, card_line("09:00:00.100", "card up detected"));

    top_model model;
    top_snapshot_s s;
    ASSERT_EQ(source.poll(s), "");
    ASSERT_EQ(s.cards.size(), 1u);
    EXPECT_EQ(s.cards[0].bdf, "0000:05:00.0");
    EXPECT_EQ(s.cards[0].state, top_card_state_e::up);
    ASSERT_TRUE(s.cards[0].state_since);
    EXPECT_EQ(*s.cards[0].state_since, *top_parse_timestamp("2026-03-14 09:00:00.100"));
    ASSERT_EQ(s.cards[0].entities.size(), 1u);
    ASSERT_EQ(s.cards[0].entities[0].counters.size(), 2u);
    EXPECT_EQ(s.cards[0].entities[0].counters[0].value, 2000u);
    EXPECT_TRUE(s.cards[0].entities[0].counters[0].cumulative);
    EXPECT_FALSE(s.cards[0].entities[0].counters[1].cumulative);
    model.update(s);

    // Rates come from the lines' own time stamps: 3000 B in 1.5 s.
    append(stats, stats_line("09:00:02.000", 5000));
    // The file rotates; the new file's line is the newest.
    ASSERT_EQ(std::rename(stats.c_str(), (stats + ".1").c_str()), 0);
    append(stats, "*** Boot #3 ***\n" + stats_line("09:00:02.500", 6000));
    append(event, card_line("09:00:02.600", "card down detected"));
    ASSERT_EQ(source.poll(s), "");
    model.update(s);
    const auto &card = model.cards().at(0);
    EXPECT_EQ(card.state, top_card_view_state_e::down);
    const auto *tx = card.entities.at(0).counter("tx_rdma_unicast_bytes");
    ASSERT_TRUE(tx && tx->rate);
    EXPECT_NEAR(*tx->rate, 4000 / 2.0, 1e-6);
    EXPECT_EQ(card.entities.at(0).counter("tx_rdma_retransmit_bytes")->value, 7u);

    // No new line: no rate rather than a stale one.
    ASSERT_EQ(source.poll(s), "");
    model.update(s);
    EXPECT_FALSE(model.cards().at(0).entities.at(0).counter("tx_rdma_unicast_bytes")->rate);
}

TEST(TopTelemetrySource, AnUnreadableDirectoryIsReported) {
    top_telemetry_source source("/nonexistent/talonmon-top-test", {});
    top_snapshot_s s;
    EXPECT_NE(source.poll(s).find("/nonexistent/talonmon-top-test"), std::string::npos);
    EXPECT_FALSE(top_parse_timestamp("2026-03-14 09:00:00"));
    EXPECT_FALSE(top_parse_timestamp("yesterday"));
}

}  // namespace
