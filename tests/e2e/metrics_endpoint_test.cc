// The daemon's metrics endpoint as a scraper and a misbehaving client see it.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "testkit/raw_http.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

using test_support::child_process;
using test_support::wait_until;

// Number of the process's descriptors that are listening TCP sockets.
size_t listening_sockets_of(pid_t pid) {
    constexpr const char *k_listen_state = "0A";
    return e2e::tcp_sockets_of(pid, [](const std::string &state, const std::string &) { return state == k_listen_state; });
}

class MetricsEndpointTest : public e2e::daemon_test {
protected:
    // LIFs sampled every 100 ms, ports every second.
    void start_with_key(const std::string &listen) {
        start_daemon(R"(
        "lif": { "counters": [ { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 1000000,
                  "counters": [ { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })",
                     e2e::prometheus_key(listen));
    }
    test_support::process_result refused(const std::string &listen) {
        child_process daemon({e2e::k_daemon, "-c", env_.write_config(e2e::k_minimal_counters, e2e::prometheus_key(listen))},
                             env_.env());
        return daemon.wait(std::chrono::seconds(5));
    }
};

TEST_F(MetricsEndpointTest, ServesMetricsOnlyAndASilentClientBlocksNeitherScrapesNorWorkers) {
    start_emulator(1);
    const int port = e2e::free_local_port();
    start_with_key("127.0.0.1:" + std::to_string(port));

    EXPECT_EQ(listening_sockets_of(daemon_->pid()), 1u);
    test_support::tcp_client silent("127.0.0.1", port);  // never sends a byte
    ASSERT_TRUE(silent.wait_connected(std::chrono::seconds(5)));
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(std::chrono::seconds(10));
    auto first = client.Get("/metrics");
    ASSERT_TRUE(first) << httplib::to_string(first.error());
    EXPECT_EQ(first->status, 200);
    EXPECT_EQ(first->get_header_value("Content-Type"), "text/plain; version=0.0.4");
    EXPECT_FALSE(silent.closed_by_server()) << "the scrape was served while the silent connection was open";
    std::optional<std::string> passes;
    ASSERT_TRUE(wait_until([&] {
        auto res = client.Get("/metrics");
        passes = res ? e2e::sample_value(res->body, "talonmon_sampling_passes_total") : std::nullopt;
        return passes.has_value();
    }));

    // The worker keeps sampling while the silent connection is held open.
    ASSERT_TRUE(wait_until([&] {
        auto next = client.Get("/metrics");
        return next && std::stoull(e2e::sample_value(next->body, "talonmon_sampling_passes_total").value_or("0")) >
                           std::stoull(*passes);
    }));

    for (const char *path : {"/", "/metrics/", "/metricsx", "/other"}) {
        auto res = client.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
    }
    auto post = client.Post("/metrics", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");
    // A request line far beyond any scrape's is refused, and the endpoint serves on.
    auto huge = client.Get("/metrics?" + std::string(64 * 1024, 'a'));
    EXPECT_TRUE(!huge || huge->status >= 400);
    auto after = client.Get("/metrics");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    // Only ticks that sampled count as passes, and each of them wrote lines;
    // passes are rendered (read) before lines.
    const auto sampled = e2e::sample_value(after->body, "talonmon_sampling_passes_total");
    const auto written = e2e::sample_value(after->body, "talonmon_telemetry_lines_total", "file=\"stats\"");
    ASSERT_TRUE(sampled && written);
    EXPECT_LE(std::stoull(*sampled), std::stoull(*written));
    // Each kind has the time of its own passes: every pass samples the LIFs,
    // one in ten the ports (the LIFs' time is read first).
    EXPECT_TRUE(wait_until([&] {
        auto res = client.Get("/metrics");
        const auto time_of = [&](const char *kind) {
            const auto v = e2e::sample_value(res ? res->body : "", "talon_card_last_sample_by_kind_timestamp_seconds",
                                             std::string("kind=\"") + kind + "\"");
            return std::stod(v.value_or("0"));
        };
        const double lifs = time_of("lif");
        const double ports = time_of("port");
        return ports > 0 && ports < lifs;
    }));

    // The read time-out ends the silent connection.
    EXPECT_TRUE(wait_until([&] { return silent.closed_by_server(); }));
    EXPECT_EQ(stop_daemon().err, "");
}

TEST_F(MetricsEndpointTest, NoListeningSocketWithoutTheKey) {
    start_daemon();
    EXPECT_EQ(listening_sockets_of(daemon_->pid()), 0u);
    EXPECT_EQ(stop_daemon().err, "");
}

TEST_F(MetricsEndpointTest, BadOrUnbindableListenValueIsAStartupError) {
    auto bad = refused("localhost:9417");
    EXPECT_EQ(bad.exit_status, 255);
    EXPECT_EQ(bad.err, "Error - prometheus.listen: \"localhost:9417\" is not HOST:PORT (HOST an IPv4 address or a "
                       "bracketed IPv6 address, PORT 1-65535)\n");

    auto extra = refused("127.0.0.1:9417\", \"port\": \"1");
    EXPECT_EQ(extra.exit_status, 255);
    EXPECT_EQ(extra.err, "Error - prometheus: unknown key \"port\" (the only key is \"listen\")\n");

    const int busy_port = e2e::free_local_port();
    httplib::Server holder;
    ASSERT_TRUE(holder.bind_to_port("127.0.0.1", busy_port));
    auto busy = refused("127.0.0.1:" + std::to_string(busy_port));
    EXPECT_EQ(busy.exit_status, 255);
    EXPECT_EQ(busy.err, "Error - prometheus.listen: cannot listen on 127.0.0.1:" + std::to_string(busy_port) +
                            ": Address already in use\n");

    // TEST-NET-1 is on no interface of the host.
    auto foreign = refused("192.0.2.1:9417");
    EXPECT_EQ(foreign.exit_status, 255);
    EXPECT_EQ(foreign.err, "Error - prometheus.listen: cannot listen on 192.0.2.1:9417: Cannot assign requested address\n");

    // No connection can be accepted on a broadcast address (every form of it
    // and of multicast is a case of tests/monitor).
    auto cast = refused("[::ffff:255.255.255.255]:9417");
    EXPECT_EQ(cast.exit_status, 255);
    EXPECT_EQ(cast.err, "Error - prometheus.listen: \"[::ffff:255.255.255.255]:9417\" names the broadcast address, "
                        "on which no connection can be accepted\n");
    EXPECT_EQ(test_support::read_file(env_.trace_file()), "");
}

}  // namespace
