// Rate histograms against exact emulated rates: a burst lands in its bucket
// for the passes it lasted, every other pass in the steady rate's bucket,
// and a counter that goes back adds nothing. The same scrape serves every
// metric the shipped Prometheus rules use, and the time of each kind's own
// passes. A client that never sends a byte blocks neither the scrapes nor
// the worker, and its idle time-out ends it.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "testkit/raw_http.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;
using RateHistograms = e2e::daemon_test;

constexpr double k_period_s = 0.1;  // the LIF poll interval below
// Mid-bucket rates (geometrically), so that the emulator's 5 ms counter
// updates cannot move a pass's rate into the next bucket.
const std::string k_steady = "2400";          // bucket (1800, 3200]
const std::string k_burst = "24000000000";    // bucket (1.8e10, 3.2e10]: 192 Gbit/s
const std::string k_split = "1000000000";     // steady below, burst above

double seconds(clock_type::duration d) { return std::chrono::duration<double>(d).count(); }

// The daemon's metric names in the rules' expressions (recorded names hold a
// colon; functions and labels do not start with "talon").
std::set<std::string> metrics_in_rules() {
    std::set<std::string> names;
    const std::regex identifier("[a-zA-Z_:][a-zA-Z0-9_:]*");
    std::istringstream in(test_support::read_file(RULES_FILE));
    for (std::string line; std::getline(in, line);) {
        const size_t expr = line.find("expr:");
        if (expr == std::string::npos) {
            continue;
        }
        // Label values ("talonmon" in job="talonmon") are not names.
        const std::string text = std::regex_replace(line.substr(expr + 5), std::regex("\"[^\"]*\""), "\"\"");
        for (std::sregex_iterator it(text.begin(), text.end(), identifier), end; it != end; ++it) {
            if (it->str().starts_with("talon") && it->str().find(':') == std::string::npos) {
                names.insert(it->str());
            }
        }
    }
    return names;
}

TEST_F(RateHistograms, BurstsLandInTheirBucketForTheirShareOfPasses) {
    start_emulator(1);
    const std::string lif = emu_->card(0).get_child("lifs").begin()->second.get<std::string>("uuid");
    emu_->ctl("rate 0 lif 0 tx_rdma_unicast_bytes " + k_steady);
    const int port = e2e::free_local_port();
    start_daemon(R"(
        "card": { "tick_mode": "sleep" },
        "lif": { "poll_interval": 100000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "histogram": true, "action": { "stats_record": true } },
            { "counter": "tx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_bytes", "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_packets", "action": { "stats_record": true } },
            { "counter": "rx_rdma_responder_dup_requests", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 500000, "counters": [
            { "counter": "frames_tx_ok", "histogram": "true", "action": { "stats_record": true } },
            { "counter": "frames_rx_ok", "action": { "stats_record": true } } ] })",
                 e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(e2e::listening_sockets_of(daemon_->pid()), 1u);
    test_support::tcp_client silent("127.0.0.1", port);
    ASSERT_TRUE(silent.wait_connected(std::chrono::seconds(5)));
    httplib::Client client("127.0.0.1", port);
    auto scrape = [&] {
        auto res = client.Get("/metrics");
        return res && res->status == 200 ? res->body : std::string();
    };
    auto value = [](const std::string &text, const std::string &metric, const std::string &labels) {
        return std::stod(e2e::sample_value(text, metric, labels).value_or("-1"));
    };
    const std::string series = "lif_uuid=\"" + lif + "\",counter=\"tx_rdma_unicast_bytes\"";
    auto bucket = [&](const std::string &text, const std::string &le) {
        return value(text, "talon_lif_counter_rate_per_second_bucket", series + ",le=\"" + le + "\"}");
    };
    ASSERT_TRUE(test_support::wait_until([&] { return bucket(scrape(), "+Inf") >= 3; })) << scrape();
    EXPECT_FALSE(silent.closed_by_server()) << "scrapes were served while the silent connection was open";

    const std::string before = scrape();
    const auto burst_from = clock_type::now();
    emu_->ctl("rate 0 lif 0 tx_rdma_unicast_bytes " + k_burst);
    const auto burst_on = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto burst_until = clock_type::now();
    emu_->ctl("rate 0 lif 0 tx_rdma_unicast_bytes " + k_steady);
    const auto burst_off = clock_type::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    emu_->ctl("set 0 lif 0 tx_rdma_unicast_bytes 5");  // goes back, then stands still
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string after = scrape();

    auto grew = [&](auto read) { return read(after) - read(before); };
    // The burst lasted between these two spans; the passes it covered in
    // part count once more at each end.
    const double shortest = seconds(burst_until - burst_on) / k_period_s;
    const double longest = seconds(burst_off - burst_from) / k_period_s;
    const double above_split = grew([&](const std::string &t) { return bucket(t, "+Inf") - bucket(t, k_split); });
    EXPECT_GE(above_split, std::floor(shortest) - 1) << after;
    EXPECT_LE(above_split, std::ceil(longest) + 1) << after;
    const double in_burst_bucket =
        grew([&](const std::string &t) { return bucket(t, "32000000000") - bucket(t, "18000000000"); });
    EXPECT_GE(in_burst_bucket, std::floor(shortest) - 1) << "the passes wholly inside the burst\n" << after;
    const double steady = grew([&](const std::string &t) { return bucket(t, "3200") - bucket(t, "1800"); });
    EXPECT_GE(steady, 3) << after;
    EXPECT_GE(grew([&](const std::string &t) { return bucket(t, "1"); }), 1) << "standing still: rate 0";
    // A reset never shows up as a rate near 2^64 per pass.
    EXPECT_EQ(bucket(after, "+Inf"), bucket(after, "100000000000")) << after;

    // Every pass adds one observation except the one after the reset; the
    // pass counter is published after the pass's histograms.
    const double passes = grew([&](const std::string &t) { return value(t, "talonmon_sampling_passes_total", ""); });
    const double observed = grew([&](const std::string &t) { return bucket(t, "+Inf"); });
    EXPECT_LE(observed, passes) << after;
    EXPECT_GE(observed, passes - 2) << after;
    EXPECT_GT(value(after, "talon_port_counter_rate_per_second_count", "counter=\"frames_tx_ok\""), 0) << after;
    // Only ticks that sampled count as passes, and each of them wrote lines;
    // passes are rendered (read) before lines.
    EXPECT_LE(value(after, "talonmon_sampling_passes_total", ""),
              value(after, "talonmon_telemetry_lines_total", "file=\"stats\"")) << after;
    // Every pass samples the LIFs, one in five the ports; the LIFs' time is
    // read first.
    EXPECT_TRUE(test_support::wait_until([&] {
        const std::string text = scrape();
        const auto time_of = [&](const std::string &kind) {
            return value(text, "talon_card_last_sample_by_kind_timestamp_seconds", "kind=\"" + kind + "\"");
        };
        return time_of("port") > 0 && time_of("port") < time_of("lif");
    }));

    // A renamed metric or label breaks this test, not an operator's alerting.
    const auto names = metrics_in_rules();
    ASSERT_GE(names.size(), 13u) << "the card, sampling, logging and all nine counter metrics";
    for (const std::string &name : names) {
        EXPECT_TRUE(e2e::sample_value(after, name)) << name << " is used by the rules but not served";
    }
    // The labels the rules' annotations name are on the samples.
    for (const char *label : {"bdf=", "card_uuid=", "lif=", "lif_uuid=", "port=", "port_uuid="}) {
        EXPECT_NE(after.find(label), std::string::npos) << label;
    }
    EXPECT_TRUE(test_support::wait_until([&] { return silent.closed_by_server(); }));
    stop_daemon();
}

}  // namespace
