// talonmon-top's HTTP client against small local servers: good answers,
// chunked answers, errors, a server that never answers, one that answers
// too much, and URLs.
#include "top/top_http_client.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

namespace {

// A loopback server that answers the first request on its one connection
// with `answer` and hangs up, or keeps silent until the client gives up.
struct one_shot_server {
    explicit one_shot_server(const std::string &answer, bool silent = false)
        : peer(fuzz_support::listen_loopback(&port), true, [this, answer, silent](std::string_view got, auto &self) {
              request = got;
              if (!silent) {
                  self.hang_up_after_answer();
              }
              return silent ? std::string() : answer;
          }) {}
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/metrics"; }

    std::string request;
    uint16_t port = 0;
    fuzz_support::peer<int> peer;  // last: its thread uses the members above
};

top_url_s parse(const std::string &text) {
    top_url_s url;
    EXPECT_EQ(top_parse_url(text, url), "") << text;
    return url;
}

// Each answer gives a body, or an error (the 10000-byte body is over the
// 4096-byte bound of every case).
TEST(TopHttpClient, AnswersAndFailuresWithinTheirBounds) {
    const struct {
        std::string answer;
        bool ok;
        std::string body_or_error;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nup 1\n", true, "up 1\n"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nup 1\n\r\na\r\ndown 0\nxyz\r\n0\r\n\r\n", true,
         "up 1\ndown 0\nxyz"},
        {"HTTP/1.1 404 Not Found\r\n\r\nno", false, "HTTP status 404"},
        {"garbage", false, "not an HTTP answer"},
        {"HTTP/1.1 200 OK\r\n\r\n" + std::string(10000, 'x'), false, "answer larger than 4096 bytes"},
    };
    for (const auto &c : cases) {
        one_shot_server server(c.answer);
        const auto r = top_http_get(parse(server.url()), std::chrono::seconds(5), 4096);
        EXPECT_EQ(r.ok, c.ok) << c.answer;
        EXPECT_EQ(r.ok ? r.body : r.error, c.body_or_error) << c.answer;
        EXPECT_EQ(server.request.rfind("GET /metrics HTTP/1.0\r\n", 0), 0u) << server.request;
    }
    {
        one_shot_server server("", true);
        const auto start = std::chrono::steady_clock::now();
        const auto r = top_http_get(parse(server.url()), std::chrono::milliseconds(300));
        EXPECT_EQ(std::tuple(r.ok, r.error), std::tuple(false, "timed out reading the answer"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    // Nothing listens on a port just released.
    std::string closed_url;
    { one_shot_server server("", false); closed_url = server.url(); }
    const auto r = top_http_get(parse(closed_url));
    EXPECT_TRUE(!r.ok && !r.error.empty());
}

TEST(TopHttpClient, Urls) {
    for (const auto &[text, host, port, path] :
         {std::tuple{"127.0.0.1:10417", "127.0.0.1", "10417", "/metrics"}, {"http://[::1]:9/m", "::1", "9", "/m"}}) {
        const auto url = parse(text);
        EXPECT_EQ(url.host + " " + url.port + " " + url.path, std::string(host) + " " + port + " " + path);
    }
    top_url_s url;
    for (const char *bad : {"https://h:1", "http://h:99999", "http://:80", "http://[::1:80"}) {
        EXPECT_NE(top_parse_url(bad, url), "") << bad;
    }
    EXPECT_EQ(top_url_of_listen("0.0.0.0:10417") + " " + top_url_of_listen("[::]:10417") + " " +
                  top_url_of_listen("10.0.0.1:10417"),
              "http://127.0.0.1:10417/metrics http://[::1]:10417/metrics http://10.0.0.1:10417/metrics");
}

}  // namespace
