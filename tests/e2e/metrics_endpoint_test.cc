// The daemon's metrics endpoint as a scraper and a misbehaving client see it.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "testkit/raw_http.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

namespace {

using test_support::wait_until;

using MetricsEndpointTest = e2e::daemon_test;

TEST_F(MetricsEndpointTest, ServesMetricsOnlyAndASilentClientBlocksNeitherScrapesNorWorkers) {
    start_emulator(1);
    const int port = e2e::free_local_port();
    // LIFs sampled every 100 ms, ports every second.
    start_daemon(R"(
        "lif": { "counters": [ { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 1000000,
                  "counters": [ { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })",
                 e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));

    EXPECT_EQ(e2e::listening_sockets_of(daemon_->pid()), 1u);
    test_support::tcp_client silent("127.0.0.1", port);  // never sends a byte
    ASSERT_TRUE(silent.wait_connected(std::chrono::seconds(5)));
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(std::chrono::seconds(10));
    // The worker keeps sampling while the silent connection is held open.
    auto passes = [](const std::string &body) {
        return std::stoull(e2e::sample_value(body, "talonmon_sampling_passes_total").value_or("0"));
    };
    std::string after;
    auto passes_now = [&] {
        auto res = client.Get("/metrics");
        after = res ? res->body : "";
        return passes(after);
    };
    ASSERT_TRUE(wait_until([&] { return passes_now() > 0; }));
    EXPECT_FALSE(silent.closed_by_server()) << "scrapes were served while the silent connection was open";
    const uint64_t first_passes = passes(after);
    ASSERT_TRUE(wait_until([&] { return passes_now() > first_passes; }));
    // Only ticks that sampled count as passes, and each of them wrote lines;
    // passes are rendered (read) before lines.
    const auto written = e2e::sample_value(after, "talonmon_telemetry_lines_total", "file=\"stats\"");
    EXPECT_LE(passes(after), std::stoull(written.value_or("0")));
    // Each kind has the time of its own passes: every pass samples the LIFs,
    // one in ten the ports (the LIFs' time is read first).
    EXPECT_TRUE(wait_until([&] {
        auto res = client.Get("/metrics");
        const auto time_of = [&](const char *kind) {
            const auto v = e2e::sample_value(res ? res->body : "", "talon_card_last_sample_by_kind_timestamp_seconds",
                                             std::string("kind=\"") + kind + "\"");
            return std::stod(v.value_or("0"));
        };
        return time_of("port") > 0 && time_of("port") < time_of("lif");
    }));

    // The read time-out ends the silent connection.
    EXPECT_TRUE(wait_until([&] { return silent.closed_by_server(); }));
    EXPECT_EQ(stop_daemon().err, "");
}

TEST_F(MetricsEndpointTest, BadOrUnbindableListenValueIsAStartupError) {
    const int busy_port = e2e::free_local_port();
    httplib::Server holder;
    ASSERT_TRUE(holder.bind_to_port("127.0.0.1", busy_port));
    const std::string busy = "127.0.0.1:" + std::to_string(busy_port);
    const std::pair<std::string, std::string> cases[] = {
        {"localhost:9417", "prometheus.listen: \"localhost:9417\" is not HOST:PORT (HOST an IPv4 address or a "
                           "bracketed IPv6 address, PORT 1-65535)"},
        {"127.0.0.1:9417\", \"port\": \"1", "prometheus: unknown key \"port\" (the only key is \"listen\")"},
        {busy, "prometheus.listen: cannot listen on " + busy + ": Address already in use"},
        // TEST-NET-1 is on no interface of the host.
        {"192.0.2.1:9417", "prometheus.listen: cannot listen on 192.0.2.1:9417: Cannot assign requested address"},
        // No connection can be accepted there (every form of broadcast and
        // multicast is a case of tests/monitor).
        {"[::ffff:255.255.255.255]:9417", "prometheus.listen: \"[::ffff:255.255.255.255]:9417\" names the broadcast "
                                          "address, on which no connection can be accepted"},
    };
    for (const auto &[listen, error] : cases) {
        const std::string config = env_.write_config(e2e::k_minimal_counters, e2e::prometheus_key(listen));
        test_support::child_process daemon({e2e::k_daemon, "-c", config}, env_.env());
        auto refusal = daemon.wait(std::chrono::seconds(5));
        EXPECT_EQ(refusal.exit_status, 255) << listen;
        EXPECT_EQ(refusal.err, "Error - " + error + "\n");
    }
    EXPECT_EQ(test_support::read_file(env_.trace_file()), "");
}

}  // namespace
