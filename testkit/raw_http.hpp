// Test support: a raw TCP client for HTTP servers on the loopback network,
// with a chosen source address, and the parts of a reply tests look at.
// Every call is bounded in time.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace test_support {

// A TCP connection from `source` (any port) to 127.0.0.1:`port`. The
// connect does not wait: a server that is slow to accept still gets the
// connection queued.
class tcp_client {
public:
    tcp_client(const std::string &source, int port);
    ~tcp_client();
    tcp_client(const tcp_client &) = delete;
    tcp_client &operator=(const tcp_client &) = delete;
    tcp_client(tcp_client &&other) noexcept;

    // Waits until the connection is established: false on a refusal or after `timeout`.
    bool wait_connected(std::chrono::milliseconds timeout);
    // Sends what the socket takes within `timeout`; returns the bytes sent,
    // and sets `peer_gone` when the server closed or reset the connection.
    size_t send_some(std::string_view bytes, std::chrono::milliseconds timeout, bool &peer_gone);
    bool send_all(std::string_view bytes, std::chrono::milliseconds timeout);
    // Everything the server sends until it closes; nothing when it has not
    // closed within `timeout`.
    std::optional<std::string> read_to_end(std::chrono::milliseconds timeout);
    // True once the server has closed or reset the connection (looks, never waits).
    bool closed_by_server();

private:
    int fd_ = -1;
};

struct http_reply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string &lower_name) const {
        return headers.contains(lower_name) ? headers.at(lower_name) : std::string();
    }
};

// The reply in `raw` (status line, header lines, body to the end).
std::optional<http_reply> parse_http_reply(const std::string &raw);

// Sends `request` on a fresh connection from `source` and reads the reply
// until the server closes the connection.
std::optional<http_reply> http_exchange(const std::string &source, int port, const std::string &request,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace test_support
