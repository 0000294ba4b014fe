// Whole-daemon helpers for the metrics endpoint: a free local port, the
// configuration key that enables the endpoint, and one sample of a scrape.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>

namespace e2e {

// A TCP port on 127.0.0.1 that nothing listens on at the time of the call.
inline int free_local_port() {
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    ::getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(sock);
    return ntohs(addr.sin_port);
}

inline std::string prometheus_key(const std::string &listen) {
    return "    \"prometheus\": { \"listen\": \"" + listen + "\" },\n";
}

// The value of the first sample of `metric` whose line contains `label_part`.
inline std::optional<std::string> sample_value(const std::string &scrape, const std::string &metric,
                                               const std::string &label_part = "") {
    std::istringstream in(scrape);
    std::string line;
    while (std::getline(in, line)) {
        if ((line.rfind(metric + "{", 0) == 0 || line.rfind(metric + " ", 0) == 0) &&
            line.find(label_part) != std::string::npos) {
            return line.substr(line.rfind(' ') + 1);
        }
    }
    return std::nullopt;
}

}  // namespace e2e
