// A real Prometheus server scraping the daemon, queried through its HTTP API.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

namespace {

using test_support::child_process;
using test_support::wait_until;
namespace pt = boost::property_tree;

constexpr const char *k_prometheus = "/usr/bin/prometheus";
constexpr const char *k_promtool = "/usr/bin/promtool";
const std::string k_pinned = "4242424242";

// The value of the one series `query` returns, if it returns exactly one.
std::optional<std::string> query_one(httplib::Client &client, const std::string &query) {
    auto res = client.Get("/api/v1/query", httplib::Params{{"query", query}}, httplib::Headers{});
    if (!res || res->status != 200) {
        return std::nullopt;
    }
    pt::ptree tree;
    std::istringstream in(res->body);
    pt::read_json(in, tree);
    const auto &result = tree.get_child("data.result");
    if (result.size() != 1) {
        return std::nullopt;
    }
    return std::next(result.begin()->second.get_child("value").begin())->second.data();
}

TEST(PrometheusScrape, ServerSeesThePinnedCounterAndTheCardGoingDown) {
    if (!test_support::file_exists(k_prometheus) || !test_support::file_exists(k_promtool)) {
        GTEST_SKIP() << "the prometheus package is not installed";
    }
    e2e::daemon_env env;
    e2e::emulator_process emu(env, 1);
    emu.ctl("set 0 lif 1 tx_rdma_unicast_bytes " + k_pinned);
    const int port = e2e::free_local_port();
    const std::string config = env.write_config(
        R"(
        "card": { "liveness_poll_interval": 100000 },)" + e2e::k_minimal_counters,
        e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));
    child_process daemon({e2e::k_daemon, "-c", config}, emu.env());
    ASSERT_TRUE(e2e::wait_for_start(env, daemon)) << daemon.err_so_far();

    const std::string prom_config = env.dir() / "prometheus.yml";
    test_support::write_file(prom_config, "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                          "scrape_configs:\n  - job_name: talon\n    static_configs:\n"
                                          "      - targets: ['127.0.0.1:" + std::to_string(port) + "']\n");
    const int prom_port = e2e::free_local_port();
    child_process prometheus({k_prometheus, "--config.file=" + prom_config, "--storage.tsdb.path=" + (env.dir() / "tsdb"),
                              "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)},
                             {}, test_support::pid_namespace::shared);
    httplib::Client api("127.0.0.1", prom_port);
    const std::string lif_uuid = emu.card(0).get_child("lifs").rbegin()->second.get<std::string>("uuid");
    const std::string counter_query =
        "talon_lif_tx_rdma_unicast_bytes_total{job=\"talon\",lif_uuid=\"" + lif_uuid + "\"}";
    ASSERT_TRUE(wait_until([&] { return query_one(api, counter_query) == k_pinned; }, std::chrono::seconds(60)))
        << prometheus.err_so_far();
    const std::string up_query = "talon_card_up{bdf=\"" + emu.bdf(0) + "\"}";
    EXPECT_EQ(query_one(api, up_query), "1");

    // promtool reads the scrape from standard input.
    httplib::Client scraper("127.0.0.1", port);
    auto scrape = scraper.Get("/metrics");
    ASSERT_TRUE(scrape);
    const std::string scrape_file = env.dir() / "scrape.txt";
    test_support::write_file(scrape_file, scrape->body);
    auto check = test_support::run_process({"/bin/sh", "-c", std::string(k_promtool) + " check metrics < " + scrape_file});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");

    emu.ctl("heartbeat 0 fail");
    EXPECT_TRUE(wait_until([&] { return query_one(api, up_query) == "0"; }, std::chrono::seconds(20)));
    EXPECT_EQ(query_one(api, "talon_card_down_transitions_total{bdf=\"" + emu.bdf(0) + "\"}"), "1");
    // The card's LIFs stay visible while it is down.
    EXPECT_EQ(query_one(api, counter_query), k_pinned);

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(std::chrono::seconds(5)).exit_status, 0);
}

}  // namespace
