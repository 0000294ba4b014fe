// Every metric the shipped Prometheus rules use is one the daemon serves: a
// renamed metric or label breaks this test, not an operator's alerting.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>
#include <set>
#include <sstream>

namespace {

const std::string k_rules = RULES_FILE;

const std::string k_all_counters = R"(
        "lif": { "counters": [
            { "counter": "tx_rdma_unicast_bytes", "histogram": true, "action": { "stats_record": true } },
            { "counter": "tx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_bytes", "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_packets", "action": { "stats_record": true } },
            { "counter": "rx_rdma_responder_dup_requests", "action": { "stats_record": true } } ] },
        "port": { "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } },
            { "counter": "frames_rx_ok", "action": { "stats_record": true } } ] })";

// The daemon's metric names in the rules' expressions (recorded names hold a
// colon; functions and labels do not start with "talon").
std::set<std::string> metrics_in_rules() {
    std::set<std::string> names;
    const std::regex identifier("[a-zA-Z_:][a-zA-Z0-9_:]*");
    std::istringstream in(test_support::read_file(k_rules));
    for (std::string line; std::getline(in, line);) {
        const size_t expr = line.find("expr:");
        if (expr == std::string::npos) {
            continue;
        }
        // Label values ("talonmon" in job="talonmon") are not names.
        const std::string text = std::regex_replace(line.substr(expr + 5), std::regex("\"[^\"]*\""), "\"\"");
        for (std::sregex_iterator it(text.begin(), text.end(), identifier), end; it != end; ++it) {
            const std::string name = it->str();
            if (name.rfind("talon", 0) == 0 && name.find(':') == std::string::npos) {
                names.insert(name);
            }
        }
    }
    return names;
}

using RulesAgainstDaemon = e2e::daemon_test;

TEST_F(RulesAgainstDaemon, EveryMetricTheRulesUseIsInALiveScrape) {
    const auto names = metrics_in_rules();
    // The rules use the card, sampling, logging and all nine counter metrics.
    ASSERT_GE(names.size(), 13u);
    EXPECT_TRUE(names.contains("talon_card_up"));

    start_emulator(1);
    const int port = e2e::free_local_port();
    start_daemon(k_all_counters, e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));
    httplib::Client client("127.0.0.1", port);
    std::string scrape;
    // Wait until the card's LIFs are in the scrape.
    ASSERT_TRUE(test_support::wait_until([&] {
        auto res = client.Get("/metrics");
        scrape = res && res->status == 200 ? res->body : "";
        return e2e::sample_value(scrape, "talon_lif_tx_rdma_unicast_bytes_total").has_value();
    })) << scrape;
    for (const std::string &name : names) {
        EXPECT_TRUE(e2e::sample_value(scrape, name).has_value()) << name << " is not in the scrape:\n" << scrape;
    }
    // The labels the rules' annotations name are on the samples.
    for (const char *label : {"bdf=", "card_uuid=", "lif=", "lif_uuid=", "port=", "port_uuid="}) {
        EXPECT_NE(scrape.find(label), std::string::npos) << label;
    }
    stop_daemon();
}

}  // namespace
