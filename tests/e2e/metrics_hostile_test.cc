// The metrics endpoint against hostile and broken clients on the loopback
// network. Most attackers connect from 127.0.0.2; those of an unprivileged
// local user share the scraper's own 127.0.0.1. Every attack is bounded in
// bytes, connections and time.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "testkit/raw_http.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

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
// Connections from one client address the endpoint holds at once, at most.
constexpr size_t k_held_from_one_address = 16;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes reserve terabytes of address space up front.
constexpr bool k_address_space_limit_applies = false;
#else
constexpr bool k_address_space_limit_applies = true;
#endif

// A field of /proc/PID/status in bytes ("VmRSS", "VmSize").
size_t status_bytes(pid_t pid, const std::string &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1)) * 1024;
        }
    }
    return 0;
}

// Connections from `peer` (IPv4) that process `pid` holds open.
size_t connections_from(pid_t pid, const std::string &peer) {
    constexpr const char *k_established = "01";
    in_addr addr{};
    ::inet_pton(AF_INET, peer.c_str(), &addr);
    char hex[9];
    std::snprintf(hex, sizeof(hex), "%08X", addr.s_addr);  // the table's byte order is the address's own
    const std::string prefix = std::string(hex) + ":";
    return e2e::tcp_sockets_of(pid, [&](const std::string &state, const std::string &remote) {
        return state == k_established && remote.rfind(prefix, 0) == 0;
    });
}

// Bytes the kernel holds unsent or unacknowledged on the TCP sockets (IPv4)
// whose local port is `port`: the server's side of its connections, orphaned
// ones included.
size_t unsent_on_port(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    char local_port[8];
    std::snprintf(local_port, sizeof(local_port), ":%04X", port);
    size_t total = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, state, queues;
        fields >> sl >> local >> remote >> state >> queues;
        if (local.ends_with(local_port)) {
            total += std::stoull(queues.substr(0, queues.find(':')), nullptr, 16);
        }
    }
    return total;
}

// The kernel's TCP memory in pages, all sockets of the host together.
size_t tcp_memory_pages() {
    std::ifstream in("/proc/net/sockstat");
    std::string line;
    while (std::getline(in, line)) {
        if (const size_t at = line.find(" mem "); line.rfind("TCP:", 0) == 0 && at != std::string::npos) {
            return std::stoull(line.substr(at + 5));
        }
    }
    return 0;
}

class MetricsHostileTest : public e2e::daemon_test {
protected:
    void start_endpoint(const std::string &filter = e2e::k_minimal_counters) {
        port_ = e2e::free_local_port();
        start_daemon(filter, e2e::prometheus_key("127.0.0.1:" + std::to_string(port_)));
    }
    // A scrape from the scraper's address: the reply, and how long it took.
    std::optional<test_support::http_reply> scrape(std::chrono::milliseconds &took,
                                                   const std::string &request = k_scrape) {
        const auto start = std::chrono::steady_clock::now();
        auto reply = http_exchange(k_scraper, port_, request, 10s);
        took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return reply;
    }
    void expect_prompt_scrape(const char *during, std::chrono::milliseconds limit = k_scrape_limit) {
        std::chrono::milliseconds took{};
        auto reply = scrape(took);
        ASSERT_TRUE(reply) << during;
        EXPECT_EQ(reply->status, 200) << during;
        EXPECT_LT(took, limit) << during;
    }
    size_t rss() const { return status_bytes(daemon_->pid(), "VmRSS"); }

    int port_ = 0;
};

// Connections from the attacker's address that send `prefix` and then
// bytes with no line end, as fast as the socket takes them, until the
// server closes them or `cap` bytes went on each.
void flood(int port, const std::string &prefix, size_t connections, size_t cap, size_t &most_sent, bool &all_cut) {
    const std::string chunk(64 * 1024, 'a');
    std::vector<tcp_client> clients;
    std::vector<size_t> sent(connections, 0);
    std::vector<bool> cut(connections, false);
    for (size_t i = 0; i < connections; ++i) {
        clients.emplace_back(k_attacker, port);
        ASSERT_TRUE(clients.back().wait_connected(5s));
        ASSERT_TRUE(clients.back().send_all(prefix, 1s));
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool busy = true;
    while (busy && std::chrono::steady_clock::now() < deadline) {
        busy = false;
        for (size_t i = 0; i < connections; ++i) {
            if (cut[i] || sent[i] >= cap) {
                continue;
            }
            bool gone = false;
            sent[i] += clients[i].send_some(chunk, 50ms, gone);
            cut[i] = gone || clients[i].closed_by_server();
            busy = true;
        }
    }
    most_sent = *std::max_element(sent.begin(), sent.end());
    all_cut = std::all_of(cut.begin(), cut.end(), [](bool c) { return c; });
}

TEST_F(MetricsHostileTest, UnendedLinesAreCutOffAsTheyArriveAndMemoryStaysBounded) {
    start_emulator(1);
    start_endpoint();
    if (k_address_space_limit_applies) {
        const rlimit one_gib{1024 * k_mib, 1024 * k_mib};
        ASSERT_LT(status_bytes(daemon_->pid(), "VmSize"), one_gib.rlim_cur);
        ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_AS, &one_gib, nullptr), 0);
    }
    expect_prompt_scrape("before the flood");
    const size_t before = rss();
    // Each connection could carry 64 MiB; the server must stop reading long
    // before (what it took is what the kernel's socket buffers hold).
    constexpr size_t k_cap = 64 * k_mib;
    for (const char *prefix : {"GET /", "GET /metrics HTTP/1.1\r\nX-Long: "}) {
        size_t most_sent = 0;
        bool all_cut = false;
        flood(port_, prefix, 4, k_cap, most_sent, all_cut);
        EXPECT_TRUE(all_cut) << prefix << ": the server kept reading; " << most_sent << " bytes went on one connection";
        EXPECT_LT(most_sent, k_cap) << prefix;
        ASSERT_TRUE(daemon_->running()) << daemon_->err_so_far();
        EXPECT_LT(rss(), before + k_max_rss_growth) << prefix << ": " << before << " -> " << rss();
    }
    expect_prompt_scrape("after the flood");
    EXPECT_EQ(stop_daemon().err, "");
}

TEST_F(MetricsHostileTest, TricklingClientsNeitherDelayAScrapeNorOutliveTheirDeadlineNorTheStop) {
    start_endpoint();
    constexpr size_t k_tricklers = 10;
    // Bytes at 10 per second: no idle time-out ever fires for these.
    auto trickle = [&](std::vector<tcp_client> &clients, std::atomic<bool> &stop, std::vector<bool> &closed) {
        const std::string text = "GET /metrics HTTP/1.1\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
        for (size_t at = 0; at < text.size() && !stop; ++at) {
            for (size_t i = 0; i < clients.size(); ++i) {
                bool gone = false;
                closed[i] = closed[i] || clients[i].closed_by_server() ||
                            (clients[i].send_some(text.substr(at, 1), 10ms, gone) == 0 && gone);
            }
            if (std::all_of(closed.begin(), closed.end(), [](bool c) { return c; })) {
                return;
            }
            std::this_thread::sleep_for(100ms);
        }
    };
    auto open_tricklers = [&] {
        std::vector<tcp_client> clients;
        for (size_t i = 0; i < k_tricklers; ++i) {
            clients.emplace_back(k_attacker, port_);
            EXPECT_TRUE(clients.back().wait_connected(5s));
        }
        return clients;
    };

    // Every trickler is cut off by the whole-request deadline, though it
    // never stays silent for a second.
    {
        auto clients = open_tricklers();
        std::atomic<bool> stop{false};
        std::vector<bool> closed(k_tricklers, false);
        const auto start = std::chrono::steady_clock::now();
        std::thread trickler([&] { trickle(clients, stop, closed); });
        expect_prompt_scrape("while 10 clients trickle");
        trickler.join();
        const auto took = std::chrono::steady_clock::now() - start;
        for (size_t i = 0; i < k_tricklers; ++i) {
            EXPECT_TRUE(closed[i]) << "trickler " << i << " still open after "
                                   << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
        }
    }

    // A stop is prompt while clients trickle.
    auto clients = open_tricklers();
    std::atomic<bool> stop{false};
    std::vector<bool> closed(k_tricklers, false);
    std::thread trickler([&] { trickle(clients, stop, closed); });
    expect_prompt_scrape("while 10 new clients trickle");
    EXPECT_EQ(stop_daemon(k_stop_limit).err, "");
    stop = true;
    trickler.join();
}

TEST_F(MetricsHostileTest, IdleConnectionsFromManyAddressesGiveWayToAScrape) {
    start_endpoint();
    // 500 connections from 50 addresses: each address within its own cap,
    // together far beyond the endpoint's.
    constexpr size_t k_addresses = 50;
    constexpr size_t k_idle = 500;
    std::vector<tcp_client> idle;
    for (size_t i = 0; i < k_idle; ++i) {
        idle.emplace_back("127.0.1." + std::to_string(1 + i % k_addresses), port_);
    }
    size_t connected = 0;
    for (auto &client : idle) {
        connected += client.wait_connected(10ms);
    }
    EXPECT_GT(connected, 0u) << "the attack never reached the endpoint";
    // As in the test above, the scrape's own handshake may need a retry.
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
        ASSERT_TRUE(wait_until([&] { return connections_from(daemon_->pid(), k_scraper) >= 8; }))
            << count << " connections: the attack never reached the endpoint";
        std::vector<std::chrono::milliseconds> times;
        size_t most_held = 0;
        for (size_t i = 0; i < k_scrapes; ++i) {
            std::chrono::milliseconds took{};
            auto reply = scrape(took);
            if (reply && reply->status == 200) {
                times.push_back(took);
            }
            most_held = std::max(most_held, connections_from(daemon_->pid(), k_scraper));
            std::this_thread::sleep_for(100ms);  // over several of the attack's rounds
        }
        EXPECT_LE(most_held, k_held_from_one_address) << count;
        ASSERT_EQ(times.size(), k_scrapes) << count << " connections held from the scraper's address";
        std::sort(times.begin(), times.end());
        EXPECT_LT(times[k_scrapes / 2], k_scrape_limit) << count << " connections: median scrape";
        std::printf("%s connections from the scraper's address: scrape p50 %lld ms, max %lld ms\n", count,
                    static_cast<long long>(times[k_scrapes / 2].count()), static_cast<long long>(times.back().count()));
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
    std::optional<test_support::http_reply> reply;
    ASSERT_TRUE(wait_until([&] {
        std::chrono::milliseconds took{};
        reply = scrape(took);
        std::istringstream lines(reply ? reply->body : "");
        return e2e::count_containing({std::istream_iterator<std::string>(lines), {}}, "talon_card_up{") == k_cards;
    })) << "not every card published";
    // A client's own receive buffer takes the first part; the rest must not
    // fit a send buffer of the endpoint's.
    constexpr size_t k_send_buffer_cap = 256 * 1024;
    ASSERT_GT(reply->body.size(), 2 * k_send_buffer_cap) << "too small an answer to test with";

    // 8 from each of 5 addresses: more than the endpoint holds at once.
    constexpr size_t k_clients = 40;
    const size_t pages_before = tcp_memory_pages();
    std::vector<tcp_client> clients;
    for (size_t i = 0; i < k_clients; ++i) {
        clients.emplace_back("127.0.2." + std::to_string(1 + i % 5), port_);
        if (clients.back().wait_connected(5s)) {
            clients.back().send_all(k_scrape, 1s);  // those beyond the cap may be closed at once
        }
    }
    std::this_thread::sleep_for(1s);
    const size_t held = unsent_on_port(port_);
    const size_t pages_during = tcp_memory_pages();
    expect_prompt_scrape("while clients that never read fill the endpoint");
    EXPECT_LT(held, k_clients * k_send_buffer_cap) << "bytes held for clients that never read";
    // Past every connection's deadline (3 s from its accept).
    EXPECT_TRUE(wait_until([&] { return unsent_on_port(port_) == 0; }, 4s))
        << unsent_on_port(port_) << " bytes still held after the deadline";
    std::printf("%zu clients that never read: %zu bytes held unsent, TCP memory %zu -> %zu -> %zu pages\n", k_clients,
                held, pages_before, pages_during, tcp_memory_pages());
    EXPECT_EQ(stop_daemon(k_stop_limit).err, "");
}

TEST_F(MetricsHostileTest, OnlyGetAndHeadOfMetricsAreServedAndNeverInPieces) {
    start_emulator(1);
    start_endpoint();
    std::chrono::milliseconds took{};
    auto plain = scrape(took);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->status, 200);

    // Ranges are ignored: the whole body, once.
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 2700; ++i) {
        ranges += ",0-";
    }
    auto ranged = scrape(took, "GET /metrics HTTP/1.1\r\nHost: x\r\nRange: " + ranges + "\r\n\r\n");
    ASSERT_TRUE(ranged);
    EXPECT_EQ(ranged->status, 200);
    EXPECT_EQ(ranged->header("content-range"), "");
    EXPECT_EQ(ranged->body.size(), std::stoull(ranged->header("content-length")));
    // The same exposition, its counters a little further on.
    EXPECT_LT(ranged->body.size(), plain->body.size() + 1024);

    // Keep-alive asked for is not given: the reply says close and the
    // connection ends (http_exchange reads to the end).
    auto kept = scrape(took, "GET /metrics?a=%00 HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->status, 200) << "a query is no part of the path";
    EXPECT_EQ(kept->header("connection"), "close");

    auto head = scrape(took, "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->body, "");
    EXPECT_EQ(head->header("content-type"), "text/plain; version=0.0.4");

    for (const char *method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "get", "BREW"}) {
        auto reply = scrape(took, std::string(method) + " /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello");
        ASSERT_TRUE(reply) << method;
        EXPECT_EQ(reply->status, 405) << method;
        EXPECT_EQ(reply->header("allow"), "GET, HEAD") << method;
    }
    // A body announced but never sent is not waited for.
    auto unsent = scrape(took, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n");
    ASSERT_TRUE(unsent);
    EXPECT_EQ(unsent->status, 405);
    EXPECT_LT(took, k_scrape_limit);

    // The path is matched as sent: percent-encoded or NUL-bearing variants are other paths.
    using namespace std::string_literals;
    for (const std::string &request :
         {"GET / HTTP/1.1"s, "GET /metrics/ HTTP/1.1"s, "GET /metricsx HTTP/1.1"s, "HEAD /other HTTP/1.1"s,
          "POST /other HTTP/1.1"s, "GET /../metrics HTTP/1.1"s, "GET /%6detrics HTTP/1.1"s,
          "GET /metrics%00x HTTP/1.1"s, "GET /metrics\0x HTTP/1.1"s}) {
        auto reply = scrape(took, request + "\r\nHost: x\r\n\r\n");
        ASSERT_TRUE(reply) << request;
        EXPECT_EQ(reply->status, 404) << request;
    }
    EXPECT_EQ(stop_daemon().err, "");
}

}  // namespace
