// What the daemon exchanges with the service manager: the metrics
// endpoint's socket taken from it and checked against the configured
// address, and the watchdog pings.
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
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// A TCP socket bound to 127.0.0.1 on a free port; listening when asked.
utils::unique_fd loopback_socket(bool listening, int type = SOCK_STREAM) {
    utils::unique_fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    if (listening) {
        EXPECT_EQ(::listen(fd.get(), 1), 0);
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

TEST(SocketActivation, AListeningSocketMatchesOnlyItsOwnAddress) {
    const auto fd = loopback_socket(true);
    const uint16_t port = port_of(fd.get());
    EXPECT_TRUE(talonmon_socket_matches(fd.get(), {"127.0.0.1", port}));
    EXPECT_FALSE(talonmon_socket_matches(fd.get(), {"127.0.0.1", static_cast<uint16_t>(port + 1)}));
    EXPECT_FALSE(talonmon_socket_matches(fd.get(), {"127.0.0.2", port}));
    EXPECT_FALSE(talonmon_socket_matches(fd.get(), {"0.0.0.0", port}));
    EXPECT_FALSE(talonmon_socket_matches(fd.get(), {"::1", port}));
    EXPECT_EQ(talonmon_socket_address_text(fd.get()), "127.0.0.1:" + std::to_string(port));

    const auto bound_only = loopback_socket(false);
    EXPECT_FALSE(talonmon_socket_matches(bound_only.get(), {"127.0.0.1", port_of(bound_only.get())}))
        << "a socket that does not listen cannot serve the endpoint";
    const auto datagram = loopback_socket(false, SOCK_DGRAM);
    EXPECT_FALSE(talonmon_socket_matches(datagram.get(), {"127.0.0.1", port_of(datagram.get())}));
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
            saved_.push_back(::fcntl(target(i), F_DUPFD_CLOEXEC, 10));
            ::dup2(fds[i], target(i));
        }
    }
    ~passed_sockets() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i] >= 0) {
                ::dup2(saved_[i], target(i));
                ::close(saved_[i]);
            } else {
                ::close(target(i));
            }
        }
    }

private:
    static int target(size_t i) { return SD_LISTEN_FDS_START + static_cast<int>(i); }
    std::vector<int> saved_;
    std::optional<test_support::scoped_env> fds_;
    std::optional<test_support::scoped_env> pid_;
};

// What the daemon takes from the service manager: nothing when nothing was
// passed, the one listening socket passed, and a refusal (with every
// passed descriptor closed) for a socket that does not listen or for more
// sockets than one. The announcing variables are gone in every case, so
// that children do not see them.
TEST(SocketActivation, TakesExactlyOneListeningSocket) {
    const auto listening = loopback_socket(true);
    const auto other = loopback_socket(true);
    const auto bound_only = loopback_socket(false);
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
            EXPECT_EQ(port_of(taken.get()), port_of(listening.get()));
            taken.release();  // the guard puts descriptor 3 back
            continue;
        }
        EXPECT_FALSE(taken);
        for (size_t i = 0; c.rc != 0 && i < c.passed.size(); ++i) {
            EXPECT_EQ(::fcntl(SD_LISTEN_FDS_START + static_cast<int>(i), F_GETFD), -1) << "descriptor left open";
        }
    }
}

// A connection to 127.0.0.1:port that has sent GET /metrics; invalid when
// it could not.
utils::unique_fd send_get_metrics(uint16_t port) {
    utils::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        fd.reset();
    }
    return fd;
}

// The whole answer on a connection, read until the server closes it.
std::string read_answer(const utils::unique_fd &fd) {
    std::string answer;
    char buf[512];
    ssize_t n;
    while (fd && (n = ::recv(fd.get(), buf, sizeof(buf), 0)) > 0) {
        answer.append(buf, static_cast<size_t>(n));
    }
    return answer;
}

// The service manager keeps its copy of the socket and listens on for the
// next start: a server that ends must leave the socket listening, not shut
// it down (which the manager sees as its socket failing).
TEST(SocketActivation, ServesOnAPassedSocketAndLeavesItListeningWhenItStops) {
    const auto managers_copy = loopback_socket(true);
    const uint16_t port = port_of(managers_copy.get());
    talonmon_metrics_registry registry;
    {
        talonmon_metrics_server server(registry);
        std::string error;
        ASSERT_EQ(server.start_on_socket(::fcntl(managers_copy.get(), F_DUPFD_CLOEXEC, 0), error), 0) << error;
        const auto reply = test_support::http_exchange("127.0.0.1", port,
                                                       "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
    }
    pollfd p{managers_copy.get(), POLLIN, 0};
    ASSERT_GE(::poll(&p, 1, 0), 0);
    EXPECT_EQ(p.revents & (POLLHUP | POLLERR), 0) << "the stopped server shut the listening socket down";
    // A client now waits in the backlog for the next server.
    test_support::tcp_client client("127.0.0.1", port);
    EXPECT_TRUE(client.wait_connected(std::chrono::seconds(1)));
}

// A start refused under socket activation answers the scrape that caused
// it, and those during its hold, with a 503 naming the refusal; a start no
// connection caused (an operator's) returns at once, so that it fails at once.
TEST(SocketActivation, ARefusedStartTellsWaitingScrapersWhy) {
    const auto listener = loopback_socket(true);
    const uint16_t port = port_of(listener.get());
    talonmon_answer_refused_start(listener.get(), "nobody waits", std::chrono::hours(1));

    const std::string refusal = "Error - filter.card.tick_mode must be \"spin\" or \"sleep\", not \"never\"\n";
    const auto waiting = send_get_metrics(port);
    ASSERT_TRUE(waiting);
    std::thread refused([&] { talonmon_answer_refused_start(listener.get(), refusal, std::chrono::seconds(3)); });
    const std::string first = read_answer(waiting);
    const std::string second = read_answer(send_get_metrics(port));
    refused.join();
    for (const auto &answer : {first, second}) {
        EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("\r\n\r\ntalonmon refused to start:\n" + refusal), std::string::npos) << answer;
    }
}

}  // namespace

namespace {

using steady = std::chrono::steady_clock;

// Calls the watchdog report every millisecond for `run`, as the health
// checker's loop does, with a watchdog period of `period` asked for, and
// returns for each ping the window [before, after] of the call that sent it.
std::vector<std::pair<steady::time_point, steady::time_point>> watchdog_pings(std::chrono::microseconds period,
                                                                              steady::duration run) {
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
    for (const auto end = steady::now() + run; steady::now() < end;) {
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
            const auto pings = watchdog_pings(k_period, std::chrono::milliseconds(1100));
            int faults = 0;
            for (size_t i = 1; i < pings.size(); ++i) {
                // The true spacing lies between these two bounds.
                const auto most = pings[i].second - pings[i - 1].first;
                const auto least = pings[i].first - pings[i - 1].second;
                if (most < k_period / 4 || least > k_period * 2 / 5) {
                    std::fprintf(stderr, "ping %zu came %lld us after the one before\n", i,
                                 static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                            pings[i].first - pings[i - 1].first)
                                                            .count()));
                    ++faults;
                }
            }
            if (pings.size() < 4) {
                std::fprintf(stderr, "%zu pings in 1.1 periods\n", pings.size());
                ++faults;
            }
            std::exit(faults == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
