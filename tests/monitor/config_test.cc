// Reading the JSON configuration: defaults, number and boolean rules, errors.
#include "monitor/talonmon_config.hpp"
#include "tests/support/process.hpp"

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

TEST(Config, MissingCounterNodesAreReportedByPath) {
    auto r = parse("{}");
    EXPECT_EQ(r.rc, 255);
    EXPECT_EQ(r.err, "No such node (filter.lif.counters)\n");

    r = parse(R"({"filter": {"lif": {"counters": []}}})");
    EXPECT_EQ(r.rc, 255);
    EXPECT_EQ(r.err, "No such node (filter.port.counters)\n");

    r = parse(R"({"filter": {"lif": {"counters": [{"cumulative": true}]}, "port": {"counters": []}}})");
    EXPECT_EQ(r.rc, 255);
    EXPECT_EQ(r.err, "No such node (counter)\n");
}

TEST(Config, InvalidJsonFails) {
    auto r = parse("{ \"log_dir\": ");
    EXPECT_EQ(r.rc, 255);
    EXPECT_NE(r.err.find("config.json("), std::string::npos) << r.err;
}

TEST(Config, EmptyCounterListsGiveAllDefaults) {
    auto r = parse(R"({"filter": {"lif": {"counters": []}, "port": {"counters": []}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.params.log_dir, "/var/log");
    EXPECT_EQ(r.params.telemetry_dir, "/var/run");
    EXPECT_EQ(r.params.card_liveness_poll_interval, 1000000u);
    EXPECT_EQ(r.params.lif_poll_interval, 100000u);
    EXPECT_EQ(r.params.port_poll_interval, 100000u);
    EXPECT_TRUE(r.params.lif_counters.empty());
    EXPECT_TRUE(r.params.port_counters.empty());
    EXPECT_EQ(r.params.card_poll_interval, 0u);
    EXPECT_TRUE(r.params.card_counters.empty());
}

TEST(Config, NumbersThatDoNotConvertTakeTheirDefault) {
    auto r = parse(R"({"log_dir": "/l", "telemetry_dir": "/t",
        "filter": {"card": {"liveness_poll_interval": "abc"},
                   "lif": {"poll_interval": " 2500 ", "counters": [
                       {"counter": "a", "threshold": {"value": "-5"}, "action": {"stats_record": true}},
                       {"counter": "b", "threshold": {"value": 12}, "action": {"stats_record": true}},
                       {"counter": "c", "threshold": {"value": "12x"}, "action": {"stats_record": true}}]},
                   "port": {"poll_interval": "7e3", "counters": []}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.params.log_dir, "/l");
    EXPECT_EQ(r.params.telemetry_dir, "/t");
    EXPECT_EQ(r.params.card_liveness_poll_interval, 1000000u);
    EXPECT_EQ(r.params.lif_poll_interval, 2500u);
    EXPECT_EQ(r.params.port_poll_interval, 100000u);
    ASSERT_EQ(r.params.lif_counters.size(), 3u);
    EXPECT_EQ(r.params.lif_counters[0].threshold, 0u);
    EXPECT_EQ(r.params.lif_counters[1].threshold, 12u);
    EXPECT_EQ(r.params.lif_counters[2].threshold, 0u);
}

TEST(Config, BooleansAreTrueOnlyForTheTextTrue) {
    auto r = parse(R"({"filter": {"lif": {"counters": [
        {"counter": "json_false", "cumulative": false, "action": {"event_record": true}},
        {"counter": "string_yes", "cumulative": "yes", "action": {"event_record": "true"}},
        {"counter": "absent", "action": {"stats_record": true, "event_record": 1}},
        {"counter": "string_True", "cumulative": "True", "action": {"stats_record": true}}]},
        "port": {"counters": {"x": {"counter": "frames_tx_ok", "action": {"stats_record": true}}}}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(r.params.lif_counters.size(), 4u);
    EXPECT_FALSE(r.params.lif_counters[0].cumulative);
    EXPECT_TRUE(r.params.lif_counters[0].event_record);
    EXPECT_FALSE(r.params.lif_counters[0].stats_record);
    EXPECT_FALSE(r.params.lif_counters[1].cumulative);
    EXPECT_TRUE(r.params.lif_counters[1].event_record);
    EXPECT_TRUE(r.params.lif_counters[2].cumulative);
    EXPECT_FALSE(r.params.lif_counters[2].event_record);
    EXPECT_FALSE(r.params.lif_counters[3].cumulative);
    // Members of an object count like array elements.
    ASSERT_EQ(r.params.port_counters.size(), 1u);
    EXPECT_EQ(r.params.port_counters[0].counter, "frames_tx_ok");
}

TEST(Config, EntryWithoutRecordKindStopsBeforeThePortList) {
    auto r = parse(R"({"filter": {"lif": {"counters": [
        {"counter": "first", "action": {"stats_record": true}},
        {"counter": "second"}]}}})");
    EXPECT_EQ(r.rc, 255);
    EXPECT_EQ(r.err, "Error - Neither event record nor stats record is selected for lif counter second\n");
    EXPECT_EQ(r.params.lif_counters.size(), 1u);

    r = parse(R"({"filter": {"lif": {"counters": []}, "port": {"counters": [{"counter": "frames_rx_ok"}]}}})");
    EXPECT_EQ(r.rc, 255);
    EXPECT_EQ(r.err, "Error - Neither event record nor stats record is selected for port counter frames_rx_ok\n");
}

TEST(Config, IntervalsBelowOneTickAreRefused) {
    for (const char *key : {"card\": {\"liveness_poll_interval", "lif\": {\"poll_interval", "port\": {\"poll_interval"}) {
        std::string json = std::string(R"({"filter": {")") + key + R"(": 99}}})";
        auto r = parse(json);
        EXPECT_EQ(r.rc, 255);
        EXPECT_NE(r.err.find("must be at least 100 microseconds\n"), std::string::npos) << r.err;
    }
    auto r = parse(R"({"filter": {"lif": {"poll_interval": 100, "counters": []}, "port": {"counters": []}}})");
    EXPECT_EQ(r.rc, 0) << r.err;
}

TEST(Config, ExampleConfigurationIsValid) {
    talonmon_init_params_s params;
    testing::internal::CaptureStderr();
    int rc = parse_config_from_json(EXAMPLE_CONFIG, params);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(params.lif_counters.size(), 7u);
    EXPECT_EQ(params.port_counters.size(), 2u);
}

}  // namespace
