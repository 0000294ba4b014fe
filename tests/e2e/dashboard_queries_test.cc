// A real Prometheus that scrapes the daemon (16 emulated cards, histograms
// on) with the shipped rules loaded: it sees a pinned counter and a card
// going down, promtool accepts the scrape, every query of every panel and
// variable of the shipped Grafana dashboard returns data, and the burst
// heatmap shows a burst in its bucket.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>
#include <sstream>

namespace {

namespace pt = boost::property_tree;
using test_support::child_process;

constexpr const char *k_prometheus = "/usr/bin/prometheus";
constexpr const char *k_promtool = "/usr/bin/promtool";
const std::string k_pinned = "4242424242";
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

struct dashboard_queries {
    std::vector<std::string> panels;     // PromQL of the panels' targets
    std::vector<std::string> variables;  // label_values(...) of the query variables
    std::string heatmap;
};

// Reads the dashboard, checking the fields Grafana's schema requires of it,
// its panels and their targets.
dashboard_queries read_dashboard(const pt::ptree &dashboard) {
    dashboard_queries queries;
    EXPECT_FALSE(dashboard.get("title", "").empty());
    EXPECT_GT(dashboard.get("schemaVersion", 0), 0);
    EXPECT_FALSE(dashboard.get_child("templating.list").empty());
    for (const auto &[_, variable] : dashboard.get_child("templating.list")) {
        EXPECT_FALSE(variable.get("name", "").empty());
        if (variable.get("type", "") == "query") {
            queries.variables.push_back(variable.get<std::string>("query.query"));
        }
    }
    const auto &panels = dashboard.get_child("panels");
    EXPECT_FALSE(panels.empty());
    for (const auto &[_, panel] : panels) {
        const std::string title = panel.get("title", "");
        EXPECT_FALSE(title.empty());
        for (const char *field : {"gridPos.h", "gridPos.w", "gridPos.x", "gridPos.y"}) {
            EXPECT_TRUE(panel.get_optional<int>(field)) << title << " has no " << field;
        }
        EXPECT_LE(panel.get("gridPos.x", 0) + panel.get("gridPos.w", 0), 24) << title;
        if (panel.get("type", "") == "row") {
            continue;
        }
        const auto targets = panel.get_child_optional("targets");
        EXPECT_TRUE(targets && !targets->empty()) << title << " has no targets";
        if (!targets) {
            continue;
        }
        for (const auto &[_, target] : *targets) {
            EXPECT_FALSE(target.get("refId", "").empty()) << title;
            queries.panels.push_back(target.get<std::string>("expr"));
            if (panel.get("type", "") == "heatmap") {
                queries.heatmap = queries.panels.back();
            }
        }
    }
    return queries;
}

std::string substitute(std::string query, const std::vector<std::pair<std::string, std::string>> &values) {
    for (const auto &[name, value] : values) {
        for (size_t at = query.find(name); at != std::string::npos; at = query.find(name, at + value.size())) {
            query.replace(at, name.size(), value);
        }
    }
    return query;
}

// The "data.result" of an instant query; an error fails the test.
pt::ptree query(httplib::Client &api, const std::string &promql) {
    auto res = api.Get("/api/v1/query", httplib::Params{{"query", promql}}, httplib::Headers{});
    pt::ptree tree;
    if (!res) {
        ADD_FAILURE() << "no answer to " << promql;
        return {};
    }
    std::istringstream in(res->body);
    pt::read_json(in, tree);
    EXPECT_EQ(tree.get("status", ""), "success") << promql << ": " << res->body;
    return tree.get_child("data.result", pt::ptree{});
}

using DashboardQueries = e2e::daemon_test;

TEST_F(DashboardQueries, EveryQueryReturnsDataAndTheHeatmapShowsTheBurst) {
    if (!test_support::file_exists(k_prometheus) || !test_support::file_exists(k_promtool)) {
        GTEST_SKIP() << k_prometheus << " or " << k_promtool
                     << " is missing: install the Debian package prometheus (scripts/deps does)";
    }
    pt::ptree dashboard;
    pt::read_json(DASHBOARD_FILE, dashboard);
    const dashboard_queries queries = read_dashboard(dashboard);
    ASSERT_FALSE(queries.heatmap.empty()) << "no heatmap panel";

    start_emulator(k_cards);
    emu_->ctl("rate 0 lif 0 tx_rdma_unicast_bytes 24000000000");
    emu_->ctl("set 1 lif 1 tx_rdma_unicast_bytes " + k_pinned);
    const int port = e2e::free_local_port();
    start_daemon(k_counters, e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));
    const std::string prom_config = env_.dir() / "prometheus.yml";
    test_support::write_file(prom_config, "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                          "  evaluation_interval: 1s\n"
                                          "rule_files:\n  - " RULES_FILE "\n"
                                          "scrape_configs:\n  - job_name: talonmon\n    static_configs:\n"
                                          "      - targets: ['127.0.0.1:" + std::to_string(port) + "']\n");
    const int prom_port = e2e::free_local_port();
    child_process prometheus({k_prometheus, "--config.file=" + prom_config,
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
    // Every card is in, and the rules have seen two scrapes, a few seconds
    // after the start.
    auto all_answer = [&] {
        auto res = api.Get("/api/v1/query",
                           httplib::Params{{"query", "count(lif:talon_lif_counter_rate_per_second:max_bucket_5m) >= " +
                                                         std::to_string(k_cards * 2 * 4)}},
                           httplib::Headers{});
        if (!res || res->status != 200 || res->body.find("\"result\":[{") == std::string::npos) {
            return false;
        }
        for (const std::string &panel_query : queries.panels) {
            res = api.Get("/api/v1/query", httplib::Params{{"query", substitute(panel_query, values)}},
                          httplib::Headers{});
            if (!res || res->status != 200 || res->body.find("\"result\":[{") == std::string::npos) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(test_support::wait_until(all_answer, std::chrono::seconds(40))) << prometheus.err_so_far();
    for (const std::string &panel_query : queries.panels) {
        const std::string promql = substitute(panel_query, values);
        EXPECT_FALSE(query(api, promql).empty()) << "no data: " << promql;
    }
    // label_values(METRIC, LABEL) lists the label's values of the series.
    const std::regex label_values(R"(^label_values\((.*), *(\w+)\)$)");
    for (const std::string &variable : queries.variables) {
        std::smatch m;
        const std::string text = substitute(variable, values);
        ASSERT_TRUE(std::regex_match(text, m, label_values)) << variable;
        EXPECT_FALSE(query(api, "group by (" + m[2].str() + ") (" + m[1].str() + ")").empty()) << text;
    }
    double burst_passes = 0;
    for (const auto &[_, series] : query(api, substitute(queries.heatmap, values))) {
        if (series.get("metric.le", "") == k_burst_bucket) {
            burst_passes = std::stod(std::next(series.get_child("value").begin())->second.data());
        }
    }
    EXPECT_GT(burst_passes, 0) << "the heatmap misses the burst's bucket";

    // The value of the one series `promql` returns.
    auto one_value = [&](const std::string &promql) -> std::string {
        const pt::ptree result = query(api, promql);
        return result.size() == 1 ? std::next(result.begin()->second.get_child("value").begin())->second.data() : "";
    };
    const std::string lif_uuid = emu_->card(1).get_child("lifs").rbegin()->second.get<std::string>("uuid");
    const std::string pinned_query =
        "talon_lif_tx_rdma_unicast_bytes_total{job=\"talonmon\",lif_uuid=\"" + lif_uuid + "\"}";
    EXPECT_EQ(one_value(pinned_query), k_pinned);
    const std::string up_query = "talon_card_up{bdf=\"" + emu_->bdf(1) + "\"}";
    EXPECT_EQ(one_value(up_query), "1");

    // promtool reads the scrape from standard input. The rate histograms are
    // left out: the linter flags the word "counter" in their name.
    httplib::Client scraper("127.0.0.1", port);
    auto scrape = scraper.Get("/metrics");
    ASSERT_TRUE(scrape);
    std::string linted;
    std::istringstream lines(scrape->body);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("talon_lif_counter_rate_per_second") == std::string::npos) {
            linted += line + "\n";
        }
    }
    const std::string scrape_file = env_.dir() / "scrape.txt";
    test_support::write_file(scrape_file, linted);
    auto check = test_support::run_process({"/bin/sh", "-c", std::string(k_promtool) + " check metrics < " + scrape_file});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");

    emu_->ctl("heartbeat 1 fail");
    EXPECT_TRUE(test_support::wait_until([&] { return one_value(up_query) == "0"; }, std::chrono::seconds(20)));
    EXPECT_EQ(one_value("talon_card_down_transitions_total{bdf=\"" + emu_->bdf(1) + "\"}"), "1");
    // The card's LIFs stay visible while it is down.
    EXPECT_EQ(one_value(pinned_query), k_pinned);
    EXPECT_EQ(stop_daemon().exit_status, 0);
}

}  // namespace
