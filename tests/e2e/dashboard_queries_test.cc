// A real Prometheus that scrapes the daemon (16 emulated cards, histograms
// on) with the shipped rules loaded: promtool accepts the scrape, every
// query of every panel and variable of the shipped Grafana dashboard returns
// data, and the burst heatmap shows a burst in its bucket.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <regex>

namespace {

namespace pt = boost::property_tree;

constexpr const char *k_prometheus = "/usr/bin/prometheus";
constexpr const char *k_promtool = "/usr/bin/promtool";
constexpr unsigned k_cards = 16;
// A burst of 192 Gbit/s: its passes fall in the bucket (1.8e10, 3.2e10].
const std::string k_burst_bucket = "32000000000";

const std::string k_counters = R"(
        "card": { "tick_mode": "sleep" },
        "lif": { "counters": [
            { "counter": "tx_rdma_unicast_bytes", "histogram": true, "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "histogram": true, "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_bytes", "histogram": true, "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_packets", "histogram": true, "action": { "stats_record": true } } ] },
        "port": { "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } },
            { "counter": "frames_rx_ok", "action": { "stats_record": true } } ] })";

using DashboardQueries = e2e::daemon_test;

TEST_F(DashboardQueries, EveryQueryReturnsDataAndTheHeatmapShowsTheBurst) {
    if (!test_support::file_exists(k_prometheus) || !test_support::file_exists(k_promtool)) {
        GTEST_SKIP() << k_prometheus << " or " << k_promtool
                     << " is missing: install the Debian package prometheus (scripts/deps does)";
    }
    start_emulator(k_cards);
    emu_->ctl("rate 0 lif 0 tx_rdma_unicast_bytes 24000000000");
    const int port = e2e::free_local_port();
    start_daemon(k_counters, e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));
    const std::string prom_config = env_.dir() / "prometheus.yml";
    test_support::write_file(prom_config, "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                          "  evaluation_interval: 1s\n"
                                          "rule_files:\n  - " RULES_FILE "\n"
                                          "scrape_configs:\n  - job_name: talonmon\n    static_configs:\n"
                                          "      - targets: ['127.0.0.1:" + std::to_string(port) + "']\n");
    const int prom_port = e2e::free_local_port();
    test_support::child_process prometheus({k_prometheus, "--config.file=" + prom_config,
                                            "--storage.tsdb.path=" + (env_.dir() / "tsdb"),
                                            "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)},
                                           {}, test_support::pid_namespace::shared);
    httplib::Client api("127.0.0.1", prom_port);
    const std::vector<std::pair<std::string, std::string>> values = {
        {"$host", "127.0.0.1:" + std::to_string(port)},
        {"$card", emu_->bdf(0)},
        {"$counter", "tx_rdma_unicast_bytes"},
        {"$__rate_interval", "10s"},
        {"$__range", "1m"},
    };
    // Every card is in, the rules have seen two scrapes, every query of
    // every panel (other than a row, each fits the 24-column grid) has data
    // and every variable values (label_values(METRIC, LABEL) lists the
    // label's values of the series), a few seconds after the start.
    pt::ptree dashboard;
    pt::read_json(DASHBOARD_FILE, dashboard);
    std::vector<std::string> checks = {
        "count(lif:talon_lif_counter_rate_per_second:max_bucket_5m) >= " + std::to_string(k_cards * 2 * 4)};
    std::string heatmap;
    for (const auto &[_, panel] : dashboard.get_child("panels")) {
        const std::string title = panel.get("title", "");
        EXPECT_LE(panel.get<int>("gridPos.x") + panel.get<int>("gridPos.w"), 24) << title;
        if (panel.get("type", "") == "row") {
            continue;
        }
        EXPECT_FALSE(panel.get_child("targets").empty()) << title << " has no targets";
        for (const auto &[_, target] : panel.get_child("targets")) {
            EXPECT_FALSE(target.get("refId", "").empty()) << title;
            checks.push_back(target.get<std::string>("expr"));
            heatmap = panel.get("type", "") == "heatmap" ? checks.back() : heatmap;
        }
    }
    ASSERT_FALSE(heatmap.empty()) << "no heatmap panel";
    const std::regex label_values(R"(^label_values\((.*), *(\w+)\)$)");
    for (const auto &[_, variable] : dashboard.get_child("templating.list")) {
        std::smatch m;
        const std::string query = variable.get("query.query", "");
        if (variable.get("type", "") == "query") {
            ASSERT_TRUE(std::regex_match(query, m, label_values)) << query;
            checks.push_back("group by (" + m[2].str() + ") (" + m[1].str() + ")");
        }
    }
    // Each query asked with its placeholders replaced by their values.
    auto answer = [&](std::string promql) {
        for (const auto &[name, value] : values) {
            promql = e2e::replace_all(promql, name, value);
        }
        auto res = api.Get("/api/v1/query", httplib::Params{{"query", promql}}, httplib::Headers{});
        return res && res->status == 200 ? res->body : std::string();
    };
    auto has_data = [&](const std::string &promql) {
        return answer(promql).find("\"result\":[{") != std::string::npos;
    };
    test_support::wait_until([&] { return std::all_of(checks.begin(), checks.end(), has_data); },
                             std::chrono::seconds(40));
    for (const std::string &promql : checks) {
        EXPECT_TRUE(has_data(promql)) << "no data: " << promql << "\n" << prometheus.err_so_far();
    }
    const std::string burst = answer("(" + heatmap + ") > 0");
    EXPECT_NE(burst.find("\"le\":\"" + k_burst_bucket + "\""), std::string::npos)
        << "the heatmap misses the burst's bucket: " << burst;

    // promtool reads the scrape from standard input. The rate histograms are
    // left out: the linter flags the word "counter" in their name.
    httplib::Client scraper("127.0.0.1", port);
    auto scrape = scraper.Get("/metrics");
    ASSERT_TRUE(scrape);
    const std::string scrape_file = env_.dir() / "scrape.txt";
    test_support::write_file(scrape_file, scrape->body);
    auto check = test_support::run_process({"/bin/sh", "-c",
                                            "grep -v talon_lif_counter_rate_per_second " + scrape_file + " | " +
                                                k_promtool + " check metrics"});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");

    EXPECT_EQ(stop_daemon().exit_status, 0);
}

}  // namespace
