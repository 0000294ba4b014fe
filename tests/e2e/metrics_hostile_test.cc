// The metrics endpoint against hostile and broken clients on the loopback
// network. Most attackers connect from 127.0.0.2; those of an unprivileged
// local user share the scraper's own 127.0.0.1. Every attack is bounded in
// bytes, connections and time.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "testkit/raw_http.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;
using test_support::http_exchange;
using test_support::tcp_client;
using test_support::wait_until;

constexpr const char *k_attacker = "127.0.0.2";
constexpr const char *k_scraper = "127.0.0.1";
constexpr const char *k_scrape = "GET /metrics HTTP/1.1\r\nHost: talonmon\r\nUser-Agent: Prometheus/2.42.0\r\n"
                                 "Accept: text/plain\r\n\r\n";
constexpr size_t k_mib = 1024 * 1024;
// Memory the endpoint may gain from an attack, all connections together.
constexpr size_t k_max_rss_growth = 16 * k_mib;
// A scrape answered while the endpoint is under attack.
constexpr auto k_scrape_limit = 1s;
// The daemon ends after SIGTERM within this, whatever the clients do.
constexpr auto k_stop_limit = 1s;

// Bytes the kernel holds unsent or unacknowledged on the TCP sockets (IPv4)
// whose local port is `port`: the server's side of its connections, orphaned
// ones included.
size_t unsent_on_port(int port) {
    char local_port[8];
    std::snprintf(local_port, sizeof(local_port), ":%04X", port);
    size_t total = 0;
    for (const e2e::tcp_row_s &row : e2e::tcp_rows()) {
        total += row.local.ends_with(local_port) ? row.unsent : 0;
    }
    return total;
}

class MetricsHostileTest : public e2e::daemon_test {
protected:
    void start_endpoint(const std::string &filter = e2e::k_minimal_counters) {
        port_ = e2e::free_local_port();
        start_daemon(filter, e2e::prometheus_key("127.0.0.1:" + std::to_string(port_)));
    }
    // A scrape from the scraper's address; `took_` says how long it took.
    std::optional<test_support::http_reply> scrape(const std::string &request = k_scrape) {
        const auto start = std::chrono::steady_clock::now();
        auto reply = http_exchange(k_scraper, port_, request, 10s);
        took_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return reply;
    }
    void expect_prompt_scrape(const char *during, std::chrono::milliseconds limit = k_scrape_limit) {
        auto reply = scrape();
        ASSERT_TRUE(reply) << during;
        EXPECT_EQ(reply->status, 200) << during;
        EXPECT_LT(took_, limit) << during;
    }
    // The daemon's resident memory in bytes.
    size_t rss() const {
        size_t pages = 0, resident = 0;
        std::ifstream("/proc/" + std::to_string(daemon_->pid()) + "/statm") >> pages >> resident;
        return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    }

    int port_ = 0;
    std::chrono::milliseconds took_{};
};

TEST_F(MetricsHostileTest, UnendedLinesAreCutOffMemoryStaysBoundedAndOnlyGetAndHeadAreServed) {
    start_emulator(1);
    start_endpoint();
    ASSERT_TRUE(scrape());
    const size_t before = rss();
    // Connections from the attacker's address send a prefix, then bytes with
    // no line end as fast as the socket takes them. Each could carry 64 MiB;
    // the server must cut it off long before (what it took is what the
    // kernel's socket buffers hold).
    constexpr size_t k_cap = 64 * k_mib;
    const std::string chunk(64 * 1024, 'a');
    for (const char *prefix : {"GET /", "GET /metrics HTTP/1.1\r\nX-Long: "}) {
        std::vector<tcp_client> clients;
        for (int i = 0; i < 4; ++i) {
            clients.emplace_back(k_attacker, port_);
            ASSERT_TRUE(clients.back().wait_connected(5s) && clients.back().send_all(prefix, 1s));
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (auto &client : clients) {
            size_t sent = 0;
            bool cut = false;
            while (!cut && sent < k_cap && std::chrono::steady_clock::now() < deadline) {
                sent += client.send_some(chunk, 50ms, cut);
                cut = cut || client.closed_by_server();
            }
            EXPECT_TRUE(cut) << prefix << ": the server kept reading; " << sent << " bytes went on one connection";
        }
        ASSERT_TRUE(daemon_->running()) << daemon_->err_so_far();
        EXPECT_LT(rss(), before + k_max_rss_growth) << prefix << ": " << before << " -> " << rss();
    }

    // After the flood, only GET and HEAD of /metrics, as sent, are served;
    // ranges and keep-alive asked for are not given; a body announced but
    // never sent is not waited for.
    using namespace std::string_literals;
    const std::string ranges = "bytes=0-" + e2e::replace_all(std::string(2700, '-'), "-", ",0-");
    // Request, status, and one header of the reply as "name: value".
    std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nRange: " + ranges + "\r\n\r\n", 200, "content-range: "},
        {"GET /metrics?a=%00 HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n", 200, "connection: close"},
        {"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200, "content-type: text/plain; version=0.0.4"},
        {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n", 405, "allow: GET, HEAD"},
    };
    for (const char *method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "get", "BREW"}) {
        cases.emplace_back(method + " /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"s, 405,
                           "allow: GET, HEAD");
    }
    // Percent-encoded or NUL-bearing variants are other paths.
    for (const std::string &line :
         {"GET / HTTP/1.1"s, "GET /metrics/ HTTP/1.1"s, "GET /metricsx HTTP/1.1"s, "HEAD /other HTTP/1.1"s,
          "POST /other HTTP/1.1"s, "GET /../metrics HTTP/1.1"s, "GET /%6detrics HTTP/1.1"s,
          "GET /metrics%00x HTTP/1.1"s, "GET /metrics\0x HTTP/1.1"s}) {
        cases.emplace_back(line + "\r\nHost: x\r\n\r\n", 404, "connection: close");
    }
    // The reference exposition, taken once the card's series are all there.
    const auto plain = scrape();
    ASSERT_TRUE(plain && plain->status == 200);
    for (const auto &[request, status, header] : cases) {
        const std::string line = request.substr(0, request.find('\r'));
        auto reply = scrape(request);
        ASSERT_TRUE(reply) << line;
        const size_t colon = header.find(':');
        EXPECT_EQ(reply->status, status) << line;
        EXPECT_EQ(reply->header(header.substr(0, colon)), header.substr(colon + 2)) << line;
        EXPECT_LT(took_, k_scrape_limit) << line;
        // The whole exposition, once (its counters a little further on); none of it for HEAD.
        if (line.starts_with("HEAD /metrics")) {
            EXPECT_EQ(reply->body, "");
        } else if (status == 200) {
            EXPECT_EQ(reply->body.size(), std::stoull(reply->header("content-length"))) << line;
            EXPECT_LT(reply->body.size(), plain->body.size() + 1024) << line;
        }
    }
    EXPECT_EQ(stop_daemon().err, "");
}

// Clients that trickle a request are cut at the whole-connection deadline,
// though none stays silent long enough for the idle time-out; hundreds of
// idle connections from many addresses give way to a scrape; neither delays
// a scrape nor the stop.
TEST_F(MetricsHostileTest, TricklingAndIdleClientsDelayNeitherAScrapeNorTheStop) {
    start_endpoint();
    // The deadline runs from the accept; the server's sweep and a loaded
    // machine may close a connection somewhat after it.
    constexpr auto k_deadline = 3s;
    constexpr auto k_sweep_slack = 1s;
    constexpr size_t k_tricklers = 10;
    std::vector<tcp_client> tricklers;
    for (size_t i = 0; i < k_tricklers; ++i) {
        // Each from an address of its own: none gives way to another.
        tricklers.emplace_back("127.0.3." + std::to_string(1 + i), port_);
        ASSERT_TRUE(tricklers.back().wait_connected(5s));
    }
    const auto start = std::chrono::steady_clock::now();
    // One byte every 100 ms on each: no idle time-out ever fires for these.
    const std::string text = "GET /metrics HTTP/1.1\r\nX-Slow: " + std::string(100, 'a');
    std::vector<std::optional<std::chrono::steady_clock::duration>> closed_after(k_tricklers);
    for (size_t at = 0; at < text.size() && std::ranges::any_of(closed_after, [](const auto &c) { return !c; }); ++at) {
        for (size_t i = 0; i < k_tricklers; ++i) {
            bool gone = !closed_after[i] && tricklers[i].closed_by_server();
            if (!closed_after[i] && !gone) {
                tricklers[i].send_some(text.substr(at, 1), 10ms, gone);
            }
            if (gone) {
                closed_after[i] = std::chrono::steady_clock::now() - start;
            }
        }
        if (at == 5) {
            expect_prompt_scrape("while 10 clients trickle");
        }
        std::this_thread::sleep_for(100ms);
    }
    for (const auto &after : closed_after) {
        ASSERT_TRUE(after) << "a trickler was never cut";
        EXPECT_GT(*after, k_deadline - k_sweep_slack) << "a trickler was cut before its deadline";
        EXPECT_LT(*after, k_deadline + k_sweep_slack) << "a trickler outlived its deadline";
    }

    // 500 connections from 50 addresses: each address within its own cap,
    // together far beyond the endpoint's; the first few in mid-request.
    constexpr size_t k_addresses = 50;
    std::vector<tcp_client> idle;
    for (size_t i = 0; i < 500; ++i) {
        idle.emplace_back("127.0.1." + std::to_string(1 + i % k_addresses), port_);
    }
    size_t connected = 0;
    for (size_t i = 0; i < idle.size(); ++i) {
        connected += idle[i].wait_connected(10ms) && (i >= k_tricklers || idle[i].send_all("GET /metrics", 10ms));
    }
    EXPECT_GT(connected, 0u) << "the attack never reached the endpoint";
    // The scrape's own handshake may need a retry while the backlog is full.
    expect_prompt_scrape("with 500 idle connections from 50 addresses", k_scrape_limit + 2s);
    expect_prompt_scrape("with 500 idle connections from 50 addresses, again", k_scrape_limit + 2s);
    EXPECT_EQ(stop_daemon(k_stop_limit).err, "");
}

// An unprivileged local user connects from the scraper's own address (where
// a local Prometheus lives) and holds connections without a request,
// trickling bytes, re-opened every half second: the scraper is still served.
TEST_F(MetricsHostileTest, ALocalUserOnTheScrapersAddressDoesNotLockTheScraperOut) {
    const std::string python = "/usr/bin/python3";
    if (!std::filesystem::exists(python)) {
        GTEST_SKIP() << python << " is not installed";
    }
    start_endpoint();
    // argv: port, connections, seconds each set is held. Ends by itself.
    const std::string attack = R"(
import socket, sys, time
port, count, hold = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
text = b"GET /metrics HTTP/1.1\r\nX-Slow: " + b"a" * 200
end = time.monotonic() + 30
while time.monotonic() < end:
    held = []
    for _ in range(count):
        c = socket.socket(); c.setblocking(False); c.connect_ex(("127.0.0.1", port)); held.append(c)
    until, at = time.monotonic() + hold, 0
    while time.monotonic() < until:
        for c in held:
            try: c.send(text[at:at + 1])
            except OSError: pass
        at += 1; time.sleep(0.1)
    for c in held: c.close()
)";
    constexpr size_t k_scrapes = 20;
    for (const char *count : {"8", "200"}) {
        test_support::child_process attacker({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                              python, "-c", attack, std::to_string(port_), count, "0.5"});
        // Connections held open from the scraper's address (the kernel's table
        // gives an IPv4 address in its own byte order).
        const auto from_scraper = [](const e2e::tcp_row_s &row) {
            return row.state == "01" && row.remote.starts_with("0100007F:");  // established, from 127.0.0.1
        };
        ASSERT_TRUE(wait_until([&] { return e2e::tcp_sockets_of(daemon_->pid(), from_scraper) >= 8; }))
            << count << " connections: the attack never reached the endpoint";
        std::vector<std::chrono::milliseconds> times;
        for (size_t i = 0; i < k_scrapes; ++i) {
            auto reply = scrape();
            if (reply && reply->status == 200) {
                times.push_back(took_);
            }
            std::this_thread::sleep_for(100ms);  // over several of the attack's rounds
        }
        ASSERT_EQ(times.size(), k_scrapes) << count << " connections held from the scraper's address";
        std::sort(times.begin(), times.end());
        EXPECT_LT(times[k_scrapes / 2], k_scrape_limit) << count << " connections: median scrape";
    }
    EXPECT_EQ(stop_daemon(k_stop_limit).err, "");
}

// Clients that send a scrape and never read: the answer stays in the
// daemon's hands beyond a small send buffer per connection, and once the
// deadline passes the kernel holds nothing of it either.
TEST_F(MetricsHostileTest, ClientsThatNeverReadCostTheKernelLittleAndNothingAfterTheDeadline) {
    // 8 cards of 64 LIFs with every LIF counter: an answer of about 700 KB.
    constexpr size_t k_cards = 8;
    start_emulator(k_cards, 1, 64);
    std::string lif_counters;
    for (const char *counter : {"tx_rdma_unicast_bytes", "tx_rdma_unicast_packets", "rx_rdma_unicast_bytes",
                                "rx_rdma_unicast_packets", "tx_rdma_retransmit_bytes", "tx_rdma_retransmit_packets",
                                "rx_rdma_responder_dup_requests"}) {
        lif_counters += std::string(lif_counters.empty() ? "" : ",") + R"({ "counter": ")" + counter +
                        R"(", "action": { "stats_record": true } })";
    }
    start_endpoint(R"("card": { "tick_mode": "sleep" }, "lif": { "poll_interval": 100000, "counters": [)" +
                   lif_counters + R"(] }, "port": { "counters": [] })");
    // A client's own receive buffer takes the first part; the rest must not
    // fit a send buffer of the endpoint's.
    constexpr size_t k_send_buffer_cap = 256 * 1024;
    std::chrono::milliseconds unhindered{};
    ASSERT_TRUE(wait_until([&] {
        auto reply = scrape();
        unhindered = took_;
        return reply && reply->body.size() > 2 * k_send_buffer_cap;
    })) << "too small an answer to test with";

    // 8 from each of 5 addresses: more than the endpoint holds at once.
    constexpr size_t k_clients = 40;
    std::vector<tcp_client> clients;
    for (size_t i = 0; i < k_clients; ++i) {
        clients.emplace_back("127.0.2." + std::to_string(1 + i % 5), port_);
        if (clients.back().wait_connected(5s)) {
            clients.back().send_all(k_scrape, 1s);  // those beyond the cap may be closed at once
        }
    }
    std::this_thread::sleep_for(1s);
    const size_t held = unsent_on_port(port_);
    // An answer this large takes a while by itself in a sanitizer build: the
    // clients may add no more than the limit to it (waiting on one of them
    // would add the rest of its 3 s deadline).
    expect_prompt_scrape("while clients that never read fill the endpoint", k_scrape_limit + unhindered);
    EXPECT_LT(held, k_clients * k_send_buffer_cap) << "bytes held for clients that never read";
    // Past every connection's deadline (3 s from its accept).
    EXPECT_TRUE(wait_until([&] { return unsent_on_port(port_) == 0; }, 4s))
        << unsent_on_port(port_) << " bytes still held after the deadline";
    EXPECT_EQ(stop_daemon(k_stop_limit).err, "");
}

}  // namespace
