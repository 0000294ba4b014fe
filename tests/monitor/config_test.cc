// Reading the JSON configuration: defaults, number and boolean rules, errors.
#include "monitor/talonmon_config.hpp"
#include "testkit/process.hpp"

#include <gtest/gtest.h>

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

// A configuration with `top_extra` at the top level, `filter_extra` (the card
// section) in "filter", and empty counter lists.
std::string with_lists(const std::string &top_extra, const std::string &filter_extra = "") {
    return "{" + top_extra + R"("filter": {)" + filter_extra + R"("lif": {"counters": []}, "port": {"counters": []}}})";
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
        {with_lists(R"("log_dir": {"path": "/var/log"}, )"), "Error - log_dir must be a string\n"},
        {with_lists("", R"("card": {"liveness_poll_interval": [200]}, )"),
         "Error - filter.card.liveness_poll_interval must be a number\n"},
        {R"({"filter": {"lif": {"counters": [{"counter": "x", "action": {"stats_record": [true]}}]}, )" + ports + "}}",
         "Error - filter.lif.counters: action.stats_record must be a boolean\n"},
        {with_lists(R"("telemetry_dir": "/tmp\u0000/etc", )"), "Error - telemetry_dir must not contain a NUL character\n"},
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
    for (const auto &[section, key] : {std::pair{"card", "liveness_poll_interval"}, std::pair{"lif", "poll_interval"},
                                       std::pair{"port", "poll_interval"}}) {
        for (const char *value : {"99", "1", "0", "100"}) {
            const std::string setting = "\"" + std::string(key) + "\": " + value;
            std::string json;
            if (section == std::string("card")) {
                json = with_lists("", R"("card": {)" + setting + "}, ");
            } else {
                json = R"({"filter": {")" + std::string(section) + R"(": {)" + setting + R"(, "counters": []}, ")" +
                       (section == std::string("lif") ? "port" : "lif") + R"(": {"counters": []}}})";
            }
            auto r = parse(json);
            if (value == std::string("100")) {
                EXPECT_EQ(r.rc, 0) << json << r.err;
                continue;
            }
            EXPECT_EQ(r.rc, 255) << json;
            EXPECT_EQ(r.err, "Error - filter." + std::string(section) + "." + key +
                                 " must be at least 100 microseconds\n")
                << json;
        }
    }
}

TEST(Config, NumbersThatDoNotFitTakeTheirDefault) {
    auto r = parse(R"({"filter": {"card": {"liveness_poll_interval": "abc"},
                   "lif": {"poll_interval": " 2500 ", "counters": [
                       {"counter": "a", "threshold": {"value": "-5"}, "action": {"stats_record": true}},
                       {"counter": "b", "threshold": {"value": 12}, "action": {"stats_record": true}}]},
                   "port": {"poll_interval": 18446744073709551616, "counters": []}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.params.log_dir, "/var/log");
    EXPECT_EQ(r.params.tick_mode, TALONMON_TICK_MODE_SPIN);
    EXPECT_EQ(r.params.card_liveness_poll_interval, 1000000u);
    EXPECT_EQ(r.params.lif_poll_interval, 2500u);
    EXPECT_EQ(r.params.port_poll_interval, 100000u);
    ASSERT_EQ(r.params.lif_counters.size(), 2u);
    EXPECT_EQ(r.params.lif_counters[0].threshold, 0u);
    EXPECT_EQ(r.params.lif_counters[1].threshold, 12u);
    // Text that is no number at all is silently absent; a number that does
    // not fit gets a warning naming its key.
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

    // Brackets inside strings do not count; nesting up to the limit parses.
    const size_t inner = 64 - 1;
    r = parse(with_lists(R"("note": "[[[[{{{{\"[[[", "x": )" + std::string(inner, '[') + std::string(inner, ']') + ", "));
    EXPECT_EQ(r.rc, 0) << r.err;
}

TEST(Config, BooleansAreTrueOnlyForTheTextTrue) {
    auto r = parse(R"({"filter": {"lif": {"counters": [
        {"counter": "json_false", "cumulative": false, "action": {"event_record": true}},
        {"counter": "string_yes", "cumulative": "yes", "action": {"event_record": "true", "stats_record": 1}}]},
        "port": {"counters": {"x": {"counter": "frames_tx_ok", "action": {"stats_record": true}}}}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(r.params.lif_counters.size(), 2u);
    EXPECT_FALSE(r.params.lif_counters[0].cumulative);
    EXPECT_FALSE(r.params.lif_counters[1].cumulative);
    EXPECT_TRUE(r.params.lif_counters[1].event_record);
    EXPECT_FALSE(r.params.lif_counters[1].stats_record);
    ASSERT_EQ(r.params.port_counters.size(), 1u) << "members of an object count like array elements";
}

// A counter named twice gets one histogram, at its first position asking
// for one: two would be two series with the same labels in a scrape.
TEST(Config, HistogramsAreOptInAndOncePerCounterName) {
    auto r = parse(R"({"filter": {"lif": {"counters": [
        {"counter": "a", "action": {"stats_record": true}},
        {"counter": "b", "histogram": true, "action": {"stats_record": true}},
        {"counter": "a", "histogram": "true", "action": {"stats_record": true}},
        {"counter": "b", "histogram": true, "action": {"stats_record": true}},
        {"counter": "c", "histogram": "yes", "action": {"stats_record": true}}]},
        "port": {"counters": []}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(talonmon_histogram_positions(r.params.lif_counters), (std::vector<size_t>{1, 2}));
}

TEST(Config, ExampleConfigurationIsValid) {
    talonmon_init_params_s params;
    testing::internal::CaptureStderr();
    int rc = parse_config_from_json(EXAMPLE_CONFIG, params);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(params.lif_counters.size(), 7u);
}

}  // namespace
