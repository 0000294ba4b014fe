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
    EXPECT_EQ(r.params.tick_mode, TALONMON_TICK_MODE_SPIN);
}

TEST(Config, TickModeIsSpinOrSleepAndNothingElse) {
    const std::string lists = R"("lif": {"counters": []}, "port": {"counters": []})";
    auto r = parse(R"({"filter": {"card": {"tick_mode": "sleep"}, )" + lists + "}}");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.params.tick_mode, TALONMON_TICK_MODE_SLEEP);
    r = parse(R"({"filter": {"card": {"tick_mode": "spin"}, )" + lists + "}}");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.params.tick_mode, TALONMON_TICK_MODE_SPIN);

    const std::pair<std::string, std::string> refused[] = {
        {R"("Sleep")", "Error - filter.card.tick_mode must be \"spin\" or \"sleep\", not \"Sleep\"\n"},
        {R"("")", "Error - filter.card.tick_mode must be \"spin\" or \"sleep\", not \"\"\n"},
        {"1", "Error - filter.card.tick_mode must be \"spin\" or \"sleep\", not \"1\"\n"},
        {R"(["sleep"])", "Error - filter.card.tick_mode must be a string\n"},
    };
    for (const auto &[value, message] : refused) {
        r = parse(R"({"filter": {"card": {"tick_mode": )" + value + "}, " + lists + "}}");
        EXPECT_EQ(r.rc, 255) << value;
        EXPECT_EQ(r.err, message) << value;
    }
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
    // Text that is no number at all is silently absent; a number that does
    // not fit gets a warning naming its key.
    EXPECT_EQ(r.err,
              "Warning - filter.port.poll_interval: 7e3 is not a whole number from 0 to 18446744073709551615, "
              "using the default 100000\n"
              "Warning - filter.lif.counters: threshold.value: -5 is not a whole number from 0 to "
              "18446744073709551615, using the default 0\n");
}

TEST(Config, NumbersOutOfRangeWarnAndTakeTheirDefault) {
    auto r = parse(R"({"filter": {"card": {"liveness_poll_interval": 18446744073709551616},
        "lif": {"poll_interval": -5, "counters": []}, "port": {"poll_interval": 1e400, "counters": []}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.params.card_liveness_poll_interval, 1000000u);
    EXPECT_EQ(r.params.lif_poll_interval, 100000u);
    EXPECT_EQ(r.params.port_poll_interval, 100000u);
    EXPECT_NE(r.err.find("Warning - filter.card.liveness_poll_interval: 18446744073709551616 is not a whole number"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Warning - filter.lif.poll_interval: -5 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Warning - filter.port.poll_interval: 1e400 "), std::string::npos) << r.err;

    r = parse(R"({"filter": {"lif": {"poll_interval": 18446744073709551615, "counters": []},
        "port": {"counters": []}}})");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.params.lif_poll_interval, 18446744073709551615u);
}

TEST(Config, WrongTypesAndNulBytesAreRefusedNamingTheKey) {
    const std::string ok_ports = R"("port": {"counters": []})";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"filter": {"lif": {"counters": "tx_rdma_unicast_bytes"}, )" + ok_ports + "}}",
         "Error - filter.lif.counters must be an array of counter entries\n"},
        {R"({"filter": {"lif": {"counters": ["tx_rdma_unicast_bytes"]}, )" + ok_ports + "}}",
         "Error - filter.lif.counters must hold counter entries (objects), not \"tx_rdma_unicast_bytes\"\n"},
        {R"({"log_dir": {"path": "/var/log"}, "filter": {"lif": {"counters": []}, )" + ok_ports + "}}",
         "Error - log_dir must be a string\n"},
        {R"({"filter": {"lif": {"poll_interval": [200], "counters": []}, )" + ok_ports + "}}",
         "Error - filter.lif.poll_interval must be a number\n"},
        {R"({"filter": {"lif": {"counters": [{"counter": "x", "action": {"stats_record": [true]}}]}, )" + ok_ports +
             "}}",
         "Error - filter.lif.counters: action.stats_record must be a boolean\n"},
        {R"({"filter": {"lif": {"counters": [{"counter": {"name": "x"}}]}, )" + ok_ports + "}}",
         "Error - filter.lif.counters: counter must be a string\n"},
        {R"({"telemetry_dir": "/tmp\u0000/etc", "filter": {"lif": {"counters": []}, )" + ok_ports + "}}",
         "Error - telemetry_dir must not contain a NUL character\n"},
    };
    for (const auto &[json, message] : cases) {
        auto r = parse(json);
        EXPECT_EQ(r.rc, 255) << json;
        EXPECT_EQ(r.err, message) << json;
    }
}

TEST(Config, DeepNestingIsRefusedBeforeParsing) {
    const size_t levels = 100000;
    auto r = parse("{\"filter\":" + std::string(levels, '[') + std::string(levels, ']') + "}");
    EXPECT_EQ(r.rc, 255);
    EXPECT_NE(r.err.find("config.json: JSON nested deeper than 64 levels\n"), std::string::npos) << r.err;

    // Brackets inside strings do not count; nesting up to the limit parses.
    const size_t inner = 64 - 1;
    r = parse(R"({"note": "[[[[{{{{\"[[[", "x": )" + std::string(inner, '[') + std::string(inner, ']') +
              R"(, "filter": {"lif": {"counters": []}, "port": {"counters": []}}})");
    EXPECT_EQ(r.rc, 0) << r.err;
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
