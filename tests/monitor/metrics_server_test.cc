// The metrics endpoint in-process (serving from a socket it binds or one it
// is handed, matching a handed socket against a listen address) and what
// the daemon exchanges with the service manager: the endpoint's socket taken
// from it, the answer to scrapers when the start is refused, and the
// watchdog pings.
#include "monitor/metrics/talonmon_listen_address.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_server.hpp"
#include "monitor/talonmon_notify.hpp"
#include "monitor/talonmon_refused_start.hpp"
#include "monitor/talonmon_socket_activation.hpp"
#include "testkit/process.hpp"
#include "testkit/raw_http.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *k_scrape = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

// A TCP (or `type`) socket bound to `address`, listening when asked.
utils::unique_fd bound_socket(const talonmon_listen_address_s &address, bool listening, int type = SOCK_STREAM) {
    sockaddr_storage storage{};
    socklen_t len = 0;
    EXPECT_TRUE(talonmon_socket_address(address, storage, len));
    utils::unique_fd fd(::socket(storage.ss_family, type | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr *>(&storage), len), 0) << std::strerror(errno);
    if (listening) {
        EXPECT_EQ(::listen(fd.get(), 4), 0);
    }
    return fd;
}

uint16_t port_of(const utils::unique_fd &fd) {
    sockaddr_storage storage{};
    socklen_t len = sizeof(storage);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&storage), &len);
    return storage.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(storage).sin_port)
                                        : ntohs(reinterpret_cast<sockaddr_in6 &>(storage).sin6_port);
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A handed socket that does not listen is refused and closed; one that
// does is served from, and closed on stop without being shut down: the
// service manager keeps its own copy and listens on for the next start.
TEST(MetricsServer, HandedSocketIsServedOnlyWhenListeningAndClosedEitherWay) {
    talonmon_metrics_registry registry;
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        const int unlistening = bound_socket({"127.0.0.1", 0}, false, type).release();
        talonmon_metrics_server server(registry);
        std::string error;
        EXPECT_EQ(server.start_on_socket(unlistening, error), 255);
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(is_open(unlistening));
    }
    const auto managers_copy = bound_socket({"127.0.0.1", 0}, true);
    const uint16_t port = port_of(managers_copy);
    const int handed = ::fcntl(managers_copy.get(), F_DUPFD_CLOEXEC, 0);
    {
        talonmon_metrics_server server(registry);
        std::string error;
        ASSERT_EQ(server.start_on_socket(handed, error), 0) << error;
        // When an address holds as many connections as it may, the one that
        // has waited longest without a request gives way to a newcomer, whose
        // scrape is served.
        constexpr size_t k_per_address_cap = 8;
        std::vector<test_support::tcp_client> idle;
        for (size_t i = 0; i < k_per_address_cap; ++i) {
            idle.emplace_back("127.0.0.3", port);
            ASSERT_TRUE(idle.back().wait_connected(std::chrono::seconds(1)));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // accepted one after the other
        }
        const auto reply = test_support::http_exchange("127.0.0.3", port, k_scrape);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        EXPECT_NE(reply->body.find("# TYPE talonmon_sampling_passes_total counter\n"), std::string::npos);
        for (size_t i = 0; i < idle.size(); ++i) {
            EXPECT_EQ(idle[i].closed_by_server(), i == 0) << "idle connection " << i;
        }
        // A second start is refused and the socket handed with it closed.
        const int second = bound_socket({"127.0.0.1", 0}, true).release();
        EXPECT_EQ(server.start_on_socket(second, error), 255);
        EXPECT_FALSE(is_open(second));
    }
    EXPECT_FALSE(is_open(handed)) << "the server owned the handed socket";
    // A client now waits in the backlog for the next server.
    test_support::tcp_client client("127.0.0.1", port);
    EXPECT_TRUE(client.wait_connected(std::chrono::seconds(1))) << "the stopped server shut the socket down";
}

// The server binds IPv6 addresses too (IPv4 ones, and a port already
// taken, are the daemon's own tests).
TEST(MetricsServer, BindsItselfOnIpv6) {
    talonmon_metrics_registry registry;
    // A port free on this host at the time of the call.
    const uint16_t port = port_of(bound_socket({"::1", 0}, false));
    talonmon_metrics_server server(registry);
    std::string error;
    ASSERT_EQ(server.start({"::1", port}, error), 0) << error;
}

TEST(ListenAddress, ASocketMatchesExactlyTheAddressItIsBoundTo) {
    const auto v4 = bound_socket({"127.0.0.1", 0}, true);
    const uint16_t port4 = port_of(v4);
    EXPECT_TRUE(talonmon_socket_matches(v4.get(), {"127.0.0.1", port4}));
    EXPECT_FALSE(talonmon_socket_matches(v4.get(), {"127.0.0.1", static_cast<uint16_t>(port4 + 1)}));
    EXPECT_FALSE(talonmon_socket_matches(v4.get(), {"127.0.0.2", port4}));
    EXPECT_FALSE(talonmon_socket_matches(v4.get(), {"0.0.0.0", port4}));
    EXPECT_FALSE(talonmon_socket_matches(v4.get(), {"::ffff:127.0.0.1", port4}));
    EXPECT_EQ(talonmon_socket_address_text(v4.get()), "127.0.0.1:" + std::to_string(port4));

    const auto v6 = bound_socket({"::1", 0}, true);
    const uint16_t port6 = port_of(v6);
    EXPECT_TRUE(talonmon_socket_matches(v6.get(), {"::1", port6}));
    EXPECT_TRUE(talonmon_socket_matches(v6.get(), {"0:0::1", port6}));  // another spelling of the same address
    EXPECT_FALSE(talonmon_socket_matches(v6.get(), {"::", port6}));
    EXPECT_FALSE(talonmon_socket_matches(v6.get(), {"127.0.0.1", port6}));

    // Bound but not listening, or not a TCP socket: no match.
    const auto quiet = bound_socket({"127.0.0.1", 0}, false);
    EXPECT_FALSE(talonmon_socket_matches(quiet.get(), {"127.0.0.1", port_of(quiet)}));
    const auto udp = bound_socket({"127.0.0.1", 0}, false, SOCK_DGRAM);
    EXPECT_FALSE(talonmon_socket_matches(udp.get(), {"127.0.0.1", port_of(udp)}));
    EXPECT_FALSE(talonmon_socket_matches(-1, {"127.0.0.1", 1}));
}

TEST(ListenAddress, BroadcastAndMulticastAreRefusedInEveryForm) {
    constexpr const char *k_broadcast = "the broadcast address";
    constexpr const char *k_multicast = "a multicast address";
    const std::pair<const char *, const char *> cases[] = {
        {"255.255.255.255", k_broadcast}, {"::ffff:255.255.255.255", k_broadcast}, {"224.0.0.1", k_multicast},
        {"239.255.255.250", k_multicast}, {"ff02::1", k_multicast}, {"ff05::1:3", k_multicast},
        {"::ffff:224.0.0.1", k_multicast}, {"::ffff:239.1.2.3", k_multicast}, {"0.0.0.0", ""}, {"127.0.0.1", ""},
        {"223.255.255.255", ""}, {"240.0.0.1", ""}, {"::", ""}, {"::1", ""}, {"fe80::1", ""}, {"::ffff:127.0.0.1", ""},
        {"fe02::1", ""}};
    for (const auto &[host, refusal] : cases) {
        EXPECT_EQ(talonmon_listen_address_refusal({host, 9417}).value_or(""), refusal) << host;
    }
}

// Puts `fds` where the service manager puts its sockets (descriptor 3 on),
// with the variables that announce them (none when there are none, as
// outside the service manager), and restores those descriptors.
class passed_sockets {
public:
    explicit passed_sockets(const std::vector<int> &fds) {
        if (!fds.empty()) {
            fds_.emplace("LISTEN_FDS", std::to_string(fds.size()));
            pid_.emplace("LISTEN_PID", std::to_string(::getpid()));
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            saved_.emplace_back(::fcntl(target(i), F_DUPFD_CLOEXEC, 10));
            ::dup2(fds[i], target(i));
        }
    }
    ~passed_sockets() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i]) {
                ::dup2(saved_[i].get(), target(i));
            } else {
                ::close(target(i));
            }
        }
    }

private:
    static int target(size_t i) { return SD_LISTEN_FDS_START + static_cast<int>(i); }
    std::vector<utils::unique_fd> saved_;
    std::optional<test_support::scoped_env> fds_;
    std::optional<test_support::scoped_env> pid_;
};

// What the daemon takes from the service manager: nothing when nothing was
// passed, the one listening socket passed, and a refusal (with every
// passed descriptor closed) for a socket that does not listen or for more
// sockets than one. The announcing variables are gone in every case, so
// that children do not see them.
TEST(SocketActivation, TakesExactlyOneListeningSocket) {
    const auto listening = bound_socket({"127.0.0.1", 0}, true);
    const auto other = bound_socket({"127.0.0.1", 0}, true);
    const auto bound_only = bound_socket({"127.0.0.1", 0}, false);
    const struct {
        std::vector<int> passed;
        int rc;
        std::string error;
    } cases[] = {
        {{}, 0, ""},
        {{listening.get()}, 0, ""},
        {{bound_only.get()}, 255, "the descriptor passed by the service manager is not a listening stream socket"},
        {{listening.get(), other.get()}, 255, "the service manager passed 2 sockets, the daemon takes one"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.passed.size());
        passed_sockets passed(c.passed);
        utils::unique_fd taken;
        std::string error;
        EXPECT_EQ(talonmon_take_listen_socket(taken, error), c.rc);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
        EXPECT_EQ(std::getenv("LISTEN_PID"), nullptr);
        if (c.rc == 0 && !c.passed.empty()) {
            ASSERT_EQ(taken.get(), SD_LISTEN_FDS_START);
            EXPECT_EQ(port_of(taken), port_of(listening));
            taken.release();  // the guard puts descriptor 3 back
            continue;
        }
        EXPECT_FALSE(taken);
        for (size_t i = 0; c.rc != 0 && i < c.passed.size(); ++i) {
            EXPECT_EQ(::fcntl(SD_LISTEN_FDS_START + static_cast<int>(i), F_GETFD), -1) << "descriptor left open";
        }
    }
}

// A start refused under socket activation answers the scrape that caused
// it, and those during its hold, with a 503 naming the refusal; a start no
// connection caused (an operator's) returns at once, so that it fails at once.
TEST(SocketActivation, ARefusedStartTellsWaitingScrapersWhy) {
    const auto listener = bound_socket({"127.0.0.1", 0}, true);
    const uint16_t port = port_of(listener);
    talonmon_answer_refused_start(listener.get(), "nobody waits", std::chrono::hours(1));

    const std::string refusal = "Error - filter.card.tick_mode must be \"spin\" or \"sleep\", not \"never\"\n";
    constexpr auto k_limit = std::chrono::seconds(5);
    test_support::tcp_client waiting("127.0.0.1", port);
    ASSERT_TRUE(waiting.wait_connected(k_limit) && waiting.send_all(k_scrape, k_limit));
    std::thread refused([&] { talonmon_answer_refused_start(listener.get(), refusal, std::chrono::seconds(3)); });
    const auto first = test_support::parse_http_reply(waiting.read_to_end(k_limit).value_or(""));
    const auto second = test_support::http_exchange("127.0.0.1", port, k_scrape, k_limit);
    refused.join();
    for (const auto &reply : {first, second}) {
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 503);
        EXPECT_EQ(reply->body, "talonmon refused to start:\n" + refusal);
    }
}

using steady = std::chrono::steady_clock;

// Calls the watchdog report every millisecond for 1.1 periods, as the
// health checker's loop does, and returns for each ping the window
// [before, after] of the call that sent it.
std::vector<std::pair<steady::time_point, steady::time_point>> watchdog_pings(std::chrono::microseconds period) {
    test_support::temp_dir dir;
    const std::string path = dir / "notify";
    utils::unique_fd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::bind(manager.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        return {};
    }
    test_support::scoped_env notify("NOTIFY_SOCKET", path);
    test_support::scoped_env usec("WATCHDOG_USEC", std::to_string(period.count()));
    std::vector<std::pair<steady::time_point, steady::time_point>> pings;
    for (const auto end = steady::now() + period * 11 / 10; steady::now() < end;) {
        const auto before = steady::now();
        talonmon_notify_watchdog();
        const auto after = steady::now();
        char buf[64];
        while (::recv(manager.get(), buf, sizeof(buf), MSG_DONTWAIT) > 0) {
            pings.emplace_back(before, after);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pings;
}

// The watchdog period is read once per process: each case runs in a
// process of its own. Pings come four times per period, whatever the
// caller's pace: never closer than a quarter period (a ping lost or late
// leaves the daemon three more), never much further apart.
TEST(WatchdogDeathTest, PingsAFourthOfThePeriodApart) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr auto k_period = std::chrono::microseconds(1000000);
    EXPECT_EXIT(
        {
            const auto pings = watchdog_pings(k_period);
            bool spaced = pings.size() >= 4;
            for (size_t i = 1; i < pings.size(); ++i) {
                // The true spacing lies between these two bounds.
                const auto most = pings[i].second - pings[i - 1].first;
                const auto least = pings[i].first - pings[i - 1].second;
                spaced = spaced && most >= k_period / 4 && least <= k_period * 2 / 5;
            }
            std::fprintf(stderr, "%zu pings in 1.1 periods\n", pings.size());
            std::exit(spaced ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
