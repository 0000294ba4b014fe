// The HTTP endpoint that serves the registry to Prometheus.
//
// One request per connection, answered and closed: GET /metrics gets the
// whole exposition, HEAD /metrics its headers, any other method on /metrics
// 405 with "Allow: GET, HEAD", any other path 404. No request body is read
// and no Range is honoured.
//
// Its resources are bounded whatever clients send: one thread runs an event
// loop for every connection, each connection's request is held in a memory
// pool of fixed size, connections are capped overall and per client address,
// each connection is closed after a fixed time from its accept (however
// slowly its bytes trickle in), and a stop closes every connection at once.
//
// A newcomer is served even when the endpoint, or its own address, is at its
// cap: the oldest connection there still without a request (or, failing
// that, one whose client has left its answer unread for a while) is closed
// to make room. So neither idle connections from many addresses nor clients
// that share the scraper's address can lock it out by holding connections.
// The kernel's memory is bounded too: each connection's send buffer is
// small, so a client that does not read leaves the answer in the daemon's
// hands, where the deadline applies; a connection that misses its deadline
// is reset, and an answer handed to the kernel whole is kept no longer than
// its connection's deadline either.
#pragma once

#include "monitor/metrics/talonmon_body_pool.hpp"
#include "monitor/metrics/talonmon_listen_address.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"

#include "utils/sys/unique_fd.hpp"

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;
struct MHD_Response;

class talonmon_metrics_server {
public:
    explicit talonmon_metrics_server(const talonmon_metrics_registry &registry);
    // Closes every connection and the listening socket, and joins the
    // endpoint's thread; never waits on a client.
    ~talonmon_metrics_server();
    talonmon_metrics_server(const talonmon_metrics_server &) = delete;
    talonmon_metrics_server &operator=(const talonmon_metrics_server &) = delete;

    // Binds `address`, listens, and serves as start_on_socket does: 0, or
    // 255 with the reason in `error`.
    int start(const talonmon_listen_address_s &address, std::string &error);

    // Serves on `listen_fd`, a TCP socket that already listens (one handed
    // over by the service manager, say), on a thread of its own. Takes
    // ownership of `listen_fd` whatever the outcome: 0, or 255 with the
    // reason in `error`.
    int start_on_socket(int listen_fd, std::string &error);

private:
    // A client's address without its port: the unit the per-address cap counts.
    struct peer_s {
        int family = 0;
        std::array<unsigned char, 16> address{};
        bool operator==(const peer_s &) const = default;
    };
    struct connection_s {
        int fd = -1;
        peer_s peer;
        std::chrono::steady_clock::time_point deadline;
        std::chrono::steady_clock::time_point requested_at;
        bool requested = false;  // its request line and headers are complete
        bool shut = false;       // ended here; the library closes it next
    };
    // A connection the library has closed with part of its answer still in
    // the kernel's send buffer: held until the client took it or the
    // connection's deadline passed.
    struct lingering_s {
        utils::unique_fd fd;
        std::chrono::steady_clock::time_point deadline;
    };
    struct daemon_deleter {
        void operator()(MHD_Daemon *daemon) const;
    };
    struct response_deleter {
        void operator()(MHD_Response *response) const;
    };
    using response_ptr = std::unique_ptr<MHD_Response, response_deleter>;

    void run_();
    // Ends the connections whose time is up; returns the time to the next
    // deadline (or `cap`, whichever is sooner).
    std::chrono::milliseconds sweep_(std::chrono::milliseconds cap);
    static void shut_(connection_s &connection);
    // Among the open connections (from `peer` only, unless null), the one
    // that gives way to a newcomer: the oldest still without a request, or
    // else the oldest whose answer has waited on its client a while; null
    // when none may. `held` gets how many there are.
    connection_s *give_way_(const peer_s *peer, size_t &held);
    // Makes room for a newcomer from `peer`: false when its address or the
    // endpoint is at its cap and no connection there may give way.
    bool make_room_for_(const peer_s &peer);
    // Keeps a closed connection's unsent tail until its deadline.
    void linger_(const connection_s &connection);
    static void end_lingering_(lingering_s &lingering);

    // The library's callbacks.
    struct callbacks;

    const talonmon_metrics_registry &registry_;
    // Outlives the library, which gives its responses' bodies back to it.
    talonmon_body_pool bodies_;
    response_ptr not_found_;
    response_ptr not_allowed_;
    // Connections the loop serves now; touched by the loop's thread only.
    std::unordered_map<MHD_Connection *, connection_s> connections_;
    std::vector<lingering_s> lingering_;  // loop's thread only, oldest first
    utils::unique_fd wake_;  // eventfd: a stop is asked for
    int epoll_fd_ = -1;      // the library's, ready when it has work
    std::unique_ptr<MHD_Daemon, daemon_deleter> daemon_;
    std::thread loop_;
};
