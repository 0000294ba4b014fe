// A small HTTP/1.0 GET client for the daemon's metrics endpoint: one request
// per connection, a deadline on the whole exchange and a bound on the size of
// the answer, so a stuck or hostile endpoint can neither hang nor bloat the
// caller.
//
// It reads one plain-HTTP endpoint that the daemon itself serves; giving up
// within 20 ms of a cancel is what keeps the keyboard of talonmon-top free.
// A general client library would bring TLS, proxies and redirects that this
// endpoint has no use for, and some thirty shared libraries with them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

struct top_url_s {
    std::string host;  // without brackets for IPv6
    std::string port;
    std::string path;
};

// Accepts http://HOST[:PORT][/PATH] and HOST:PORT; the path defaults to
// /metrics. Returns an empty message on success, else what is wrong.
std::string top_parse_url(const std::string &text, top_url_s &url);

// The URL of the endpoint of a prometheus.listen value; a wildcard address
// (0.0.0.0, [::]) is reached on the loopback address.
std::string top_url_of_listen(const std::string &listen);

struct top_http_result_s {
    bool ok = false;
    int status = 0;
    std::string body;
    std::string error;  // set when !ok: connection refused, timed out, ...
};

inline constexpr std::chrono::milliseconds k_top_http_timeout{2000};
inline constexpr size_t k_top_http_max_bytes = 32 * 1024 * 1024;

// Gives up within a few tens of milliseconds once `cancel` becomes true.
top_http_result_s top_http_get(const top_url_s &url, std::chrono::milliseconds timeout = k_top_http_timeout,
                               size_t max_bytes = k_top_http_max_bytes, const std::atomic<bool> *cancel = nullptr);
