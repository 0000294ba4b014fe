// The metrics endpoint in-process: serving from a socket it binds or one it
// is handed, and matching a handed socket against a listen address.
#include "monitor/metrics/talonmon_listen_address.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_server.hpp"
#include "testkit/raw_http.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char *k_scrape = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

// A TCP (or `type`) socket bound to `address`, listening when asked.
int bound_socket(const talonmon_listen_address_s &address, bool listening, int type = SOCK_STREAM) {
    sockaddr_storage storage{};
    socklen_t len = 0;
    EXPECT_TRUE(talonmon_socket_address(address, storage, len));
    const int fd = ::socket(storage.ss_family, type | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&storage), len), 0) << std::strerror(errno);
    if (listening) {
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_storage storage{};
    socklen_t len = sizeof(storage);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &len);
    return storage.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(storage).sin_port)
                                        : ntohs(reinterpret_cast<sockaddr_in6 &>(storage).sin6_port);
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

class MetricsServer : public testing::Test {
protected:
    MetricsServer() { registry_.enable({"tx_rdma_unicast_bytes"}, {"frames_tx_ok"}); }
    talonmon_metrics_registry registry_;
};

// A handed socket that does not listen is refused and closed; one that
// does is served from, and closed on stop.
TEST_F(MetricsServer, HandedSocketIsServedOnlyWhenListeningAndClosedEitherWay) {
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        const int unlistening = bound_socket({"127.0.0.1", 0}, false, type);
        talonmon_metrics_server server(registry_);
        std::string error;
        EXPECT_EQ(server.start_on_socket(unlistening, error), 255);
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(is_open(unlistening));
    }
    const int fd = bound_socket({"127.0.0.1", 0}, true);
    const uint16_t port = port_of(fd);
    {
        talonmon_metrics_server server(registry_);
        std::string error;
        ASSERT_EQ(server.start_on_socket(fd, error), 0) << error;
        auto reply = test_support::http_exchange("127.0.0.1", port, k_scrape);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(reply->header("content-type"), "text/plain; version=0.0.4");
        EXPECT_EQ(reply->header("connection"), "close");
        EXPECT_NE(reply->body.find("# TYPE talonmon_sampling_passes_total counter\n"), std::string::npos);
        // A second start is refused and the socket handed with it closed.
        const int second = bound_socket({"127.0.0.1", 0}, true);
        EXPECT_EQ(server.start_on_socket(second, error), 255);
        EXPECT_FALSE(is_open(second));
    }
    // The server owned the socket: nothing listens on the port any more.
    test_support::tcp_client late("127.0.0.1", port);
    EXPECT_FALSE(late.wait_connected(std::chrono::seconds(2)));
}

TEST_F(MetricsServer, BindsItselfOnIpv4AndIpv6) {
    for (const char *host : {"127.0.0.1", "::1"}) {
        // A port free on this host for the family at the time of the call.
        const int probe = bound_socket({host, 0}, false);
        const uint16_t port = port_of(probe);
        ::close(probe);
        talonmon_metrics_server server(registry_);
        std::string error;
        ASSERT_EQ(server.start({host, port}, error), 0) << host << ": " << error;
        if (std::strcmp(host, "127.0.0.1") == 0) {
            auto reply = test_support::http_exchange("127.0.0.1", port, k_scrape);
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->status, 200);
        }
        // The same address again is busy: the first server holds it alone.
        talonmon_metrics_server again(registry_);
        EXPECT_EQ(again.start({host, port}, error), 255) << host;
        EXPECT_EQ(error, "Address already in use");
    }
}

TEST(ListenAddress, ASocketMatchesExactlyTheAddressItIsBoundTo) {
    const int v4 = bound_socket({"127.0.0.1", 0}, true);
    const uint16_t port4 = port_of(v4);
    EXPECT_TRUE(talonmon_socket_matches(v4, {"127.0.0.1", port4}));
    EXPECT_FALSE(talonmon_socket_matches(v4, {"127.0.0.1", static_cast<uint16_t>(port4 + 1)}));
    EXPECT_FALSE(talonmon_socket_matches(v4, {"127.0.0.2", port4}));
    EXPECT_FALSE(talonmon_socket_matches(v4, {"0.0.0.0", port4}));
    EXPECT_FALSE(talonmon_socket_matches(v4, {"::ffff:127.0.0.1", port4}));
    ::close(v4);

    const int v6 = bound_socket({"::1", 0}, true);
    const uint16_t port6 = port_of(v6);
    EXPECT_TRUE(talonmon_socket_matches(v6, {"::1", port6}));
    EXPECT_TRUE(talonmon_socket_matches(v6, {"0:0::1", port6}));  // another spelling of the same address
    EXPECT_FALSE(talonmon_socket_matches(v6, {"::", port6}));
    EXPECT_FALSE(talonmon_socket_matches(v6, {"127.0.0.1", port6}));
    ::close(v6);

    // Bound but not listening, or not a TCP socket: no match.
    const int quiet = bound_socket({"127.0.0.1", 0}, false);
    EXPECT_FALSE(talonmon_socket_matches(quiet, {"127.0.0.1", port_of(quiet)}));
    ::close(quiet);
    const int udp = bound_socket({"127.0.0.1", 0}, false, SOCK_DGRAM);
    EXPECT_FALSE(talonmon_socket_matches(udp, {"127.0.0.1", port_of(udp)}));
    ::close(udp);
    EXPECT_FALSE(talonmon_socket_matches(-1, {"127.0.0.1", 1}));
}

TEST(ListenAddress, BroadcastAndMulticastAreRefusedInEveryForm) {
    for (const char *host : {"255.255.255.255", "224.0.0.1", "239.255.255.250", "ff02::1", "ff05::1:3",
                             "::ffff:224.0.0.1", "::ffff:255.255.255.255", "::ffff:239.1.2.3"}) {
        EXPECT_TRUE(talonmon_listen_address_refusal({host, 9417})) << host;
    }
    EXPECT_EQ(talonmon_listen_address_refusal({"255.255.255.255", 1}), "the broadcast address");
    EXPECT_EQ(talonmon_listen_address_refusal({"::ffff:224.0.0.1", 1}), "a multicast address");
    for (const char *host : {"0.0.0.0", "127.0.0.1", "223.255.255.255", "240.0.0.1", "::", "::1", "fe80::1",
                             "::ffff:127.0.0.1", "fe02::1"}) {
        EXPECT_FALSE(talonmon_listen_address_refusal({host, 9417})) << host;
    }
}

}  // namespace
