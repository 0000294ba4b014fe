// Reading the JSON configuration: defaults, number and boolean rules, errors.
#include "monitor/talonmon_config.hpp"
#include "testkit/process.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace {

struct parse_result {
    int rc;
    std::string err;
    talonmon_init_params_s params;
};

parse_result parse(const std::string &json) {
    test_support::temp_dir dir;
    const std::string path = dir / "config.json";
    test_support::write_file(path, json);
    parse_result result{};
    testing::internal::CaptureStderr();
    result.rc = parse_config_from_json(path, result.params);
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

// A configuration with `top` at the top level and `card`, `lif` and `port`
// ahead of the (empty) counter list in their sections of "filter".
std::string config(const std::string &top, const std::string &card = "", const std::string &lif = "",
                   const std::string &port = "") {
    return "{" + top + R"("filter": {"card": {)" + card + R"(}, "lif": {)" + lif + R"("counters": []}, "port": {)" +
           port + R"("counters": []}}})";
}

TEST(Config, MistakesAreRefusedNamingTheKey) {
    const std::string ports = R"("port": {"counters": []})";
    const std::pair<std::string, std::string> cases[] = {
        {"{}", "No such node (filter.lif.counters)\n"},
        {R"({"filter": {"lif": {"counters": [{"cumulative": true}]}, )" + ports + "}}", "No such node (counter)\n"},
        {R"({"filter": {"lif": {"counters": "tx_rdma_unicast_bytes"}, )" + ports + "}}",
         "Error - filter.lif.counters must be an array of counter entries\n"},
        {R"({"filter": {"lif": {"counters": ["tx_rdma_unicast_bytes"]}, )" + ports + "}}",
         "Error - filter.lif.counters must hold counter entries (objects), not \"tx_rdma_unicast_bytes\"\n"},
        {config(R"("log_dir": {"path": "/var/log"}, )"), "Error - log_dir must be a string\n"},
        {config("", R"("liveness_poll_interval": [200])"),
         "Error - filter.card.liveness_poll_interval must be a number\n"},
        {R"({"filter": {"lif": {"counters": [{"counter": "x", "action": {"stats_record": [true]}}]}, )" + ports + "}}",
         "Error - filter.lif.counters: action.stats_record must be a boolean\n"},
        {config(R"("telemetry_dir": "/tmp\u0000/etc", )"), "Error - telemetry_dir must not contain a NUL character\n"},
        {R"({"filter": {"lif": {"counters": []}, "port": {"counters": [{"counter": "frames_rx_ok"}]}}})",
         "Error - Neither event record nor stats record is selected for port counter frames_rx_ok\n"},
    };
    for (const auto &[json, message] : cases) {
        auto r = parse(json);
        EXPECT_EQ(r.rc, 255) << json;
        EXPECT_EQ(r.err, message) << json;
    }
    // Every interval is bounded below by one tick: a shorter one would be a
    // period of zero ticks. The shortest allowed is one tick.
    for (const std::string value : {"99", "1", "0", "100"}) {
        const std::pair<std::string, std::string> bounded[] = {
            {config("", "\"liveness_poll_interval\": " + value), "filter.card.liveness_poll_interval"},
            {config("", "", "\"poll_interval\": " + value + ", "), "filter.lif.poll_interval"},
            {config("", "", "", "\"poll_interval\": " + value + ", "), "filter.port.poll_interval"}};
        for (const auto &[json, key] : bounded) {
            auto r = parse(json);
            EXPECT_EQ(r.err, value == "100" ? "" : "Error - " + key + " must be at least 100 microseconds\n") << json;
            EXPECT_EQ(r.rc, value == "100" ? 0 : 255) << json;
        }
    }
}

// Values that do not fit take their default: text that is no number at all
// silently, a number that does not fit with a warning naming its key.
// Booleans are true only for the text true; members of an object count like
// array elements. A counter named twice gets one histogram, at its first
// position asking for one: two would be two series with the same labels.
TEST(Config, LenientValuesTakeTheirDefault) {
    auto r = parse(R"({"filter": {"card": {"liveness_poll_interval": "abc"},
        "lif": {"poll_interval": " 2500 ", "counters": [
            {"counter": "a", "threshold": {"value": "-5"}, "cumulative": false, "action": {"stats_record": true}},
            {"counter": "b", "threshold": {"value": 12}, "histogram": true, "cumulative": "yes",
             "action": {"event_record": "true", "stats_record": 1}},
            {"counter": "a", "histogram": "true", "action": {"stats_record": true}},
            {"counter": "b", "histogram": true, "action": {"stats_record": true}},
            {"counter": "c", "histogram": "yes", "action": {"stats_record": true}}]},
        "port": {"poll_interval": 18446744073709551616,
                 "counters": {"x": {"counter": "frames_tx_ok", "action": {"stats_record": true}}}}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.params.log_dir, "/var/log");
    EXPECT_EQ(r.params.tick_mode, TALONMON_TICK_MODE_SPIN);
    EXPECT_EQ(r.params.card_liveness_poll_interval, 1000000u);
    EXPECT_EQ(r.params.lif_poll_interval, 2500u);
    EXPECT_EQ(r.params.port_poll_interval, 100000u);
    // Threshold, cumulative (true by default), event and statistics records.
    std::vector<std::tuple<uint64_t, bool, bool, bool>> lif_counters;
    for (const auto &c : r.params.lif_counters) {
        lif_counters.emplace_back(c.threshold, c.cumulative, c.event_record, c.stats_record);
    }
    EXPECT_EQ(lif_counters, (decltype(lif_counters){{0, false, false, true}, {12, false, true, false},
                                                     {0, true, false, true}, {0, true, false, true},
                                                     {0, true, false, true}}));
    EXPECT_EQ(r.params.port_counters.size(), 1u);
    EXPECT_EQ(talonmon_histogram_positions(r.params.lif_counters), (std::vector<size_t>{1, 2}));
    EXPECT_EQ(r.err,
              "Warning - filter.port.poll_interval: 18446744073709551616 is not a whole number from 0 to "
              "18446744073709551615, using the default 100000\n"
              "Warning - filter.lif.counters: threshold.value: -5 is not a whole number from 0 to "
              "18446744073709551615, using the default 0\n");
}

TEST(Config, DeepNestingIsRefusedBeforeParsing) {
    const size_t levels = 100000;
    auto r = parse("{\"filter\":" + std::string(levels, '[') + std::string(levels, ']') + "}");
    EXPECT_EQ(r.rc, 255);
    EXPECT_NE(r.err.find("config.json: JSON nested deeper than 64 levels\n"), std::string::npos) << r.err;

    // Brackets inside strings do not count; nesting up to the limit parses,
    // one level more does not.
    for (const size_t inner : {64 - 1, 64}) {
        const std::string nested = std::string(inner, '[') + std::string(inner, ']');
        r = parse(config(R"("note": "[[[[{{{{\"[[[", "x": )" + nested + ", "));
        EXPECT_EQ(r.rc, inner < 64 ? 0 : 255) << r.err;
    }
}

TEST(Config, ExampleConfigurationIsValid) {
    auto r = parse(test_support::read_file(EXAMPLE_CONFIG));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.params.lif_counters.size(), 7u);
}

}  // namespace
