// Taking the metrics endpoint's socket from the service manager, and
// checking it against the configured address.
#include "monitor/metrics/talonmon_listen_address.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_server.hpp"
#include "monitor/talonmon_refused_start.hpp"
#include "monitor/talonmon_socket_activation.hpp"
#include "testkit/process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

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

// Puts `fd` where the service manager puts its first socket, with the
// variables that announce it, and restores descriptor 3 afterwards.
class passed_socket {
public:
    passed_socket(int fd, const std::string &count)
        : saved_(::fcntl(SD_LISTEN_FDS_START, F_DUPFD_CLOEXEC, 10)),
          fds_("LISTEN_FDS", count),
          pid_("LISTEN_PID", std::to_string(::getpid())) {
        ::dup2(fd, SD_LISTEN_FDS_START);
    }
    ~passed_socket() {
        if (saved_ >= 0) {
            ::dup2(saved_, SD_LISTEN_FDS_START);
            ::close(saved_);
        } else {
            ::close(SD_LISTEN_FDS_START);
        }
    }

private:
    int saved_;
    test_support::scoped_env fds_;
    test_support::scoped_env pid_;
};

TEST(SocketActivation, TakesTheOnePassedListeningSocketAndHidesItFromChildren) {
    const auto listener = loopback_socket(true);
    passed_socket passed(listener.get(), "1");
    utils::unique_fd taken;
    std::string error;
    ASSERT_EQ(talonmon_take_listen_socket(taken, error), 0) << error;
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken.get(), SD_LISTEN_FDS_START);
    EXPECT_EQ(port_of(taken.get()), port_of(listener.get()));
    EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
    EXPECT_EQ(std::getenv("LISTEN_PID"), nullptr);
    taken.release();  // the guard puts descriptor 3 back
}

TEST(SocketActivation, NoSocketPassedOutsideTheServiceManager) {
    utils::unique_fd taken;
    std::string error;
    EXPECT_EQ(talonmon_take_listen_socket(taken, error), 0) << error;
    EXPECT_FALSE(taken);
}

TEST(SocketActivation, RefusesASocketThatDoesNotListen) {
    const auto bound_only = loopback_socket(false);
    passed_socket passed(bound_only.get(), "1");
    utils::unique_fd taken;
    std::string error;
    EXPECT_EQ(talonmon_take_listen_socket(taken, error), 255);
    EXPECT_FALSE(taken);
    EXPECT_NE(error.find("not a listening stream socket"), std::string::npos) << error;
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

// One GET /metrics over a fresh connection to 127.0.0.1:port; the status
// line of the answer, or "" when there is none.
std::string get_metrics_status(uint16_t port) {
    const std::string answer = read_answer(send_get_metrics(port));
    return answer.substr(0, answer.find("\r\n"));
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
        EXPECT_EQ(get_metrics_status(port), "HTTP/1.1 200 OK");
    }
    pollfd p{managers_copy.get(), POLLIN, 0};
    ASSERT_GE(::poll(&p, 1, 0), 0);
    EXPECT_EQ(p.revents & (POLLHUP | POLLERR), 0) << "the stopped server shut the listening socket down";
    // A client now waits in the backlog for the next server.
    utils::unique_fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
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
