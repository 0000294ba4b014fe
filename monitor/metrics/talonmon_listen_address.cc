#include "monitor/metrics/talonmon_listen_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>

namespace {

constexpr uint32_t k_max_port = 65535;

std::optional<uint16_t> parse_port(const std::string &text) {
    if (text.empty() || text.front() < '1' || text.front() > '9') {
        return std::nullopt;
    }
    uint32_t port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc{} || end != text.data() + text.size() || port > k_max_port) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

}  // namespace

std::optional<talonmon_listen_address_s> talonmon_parse_listen_address(const std::string &text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    auto port = parse_port(text.substr(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    std::string host = text.substr(0, colon);
    int family = AF_INET;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        family = AF_INET6;
    }
    unsigned char binary[sizeof(struct in6_addr)];
    // inet_pton takes only the plain dotted quad and the textual IPv6 forms:
    // no host names, no zone ids, no shortened IPv4 forms.
    if (host.find('\0') != std::string::npos || ::inet_pton(family, host.c_str(), binary) != 1) {
        return std::nullopt;
    }
    return talonmon_listen_address_s{host, *port};
}

bool talonmon_socket_matches(int fd, const talonmon_listen_address_s &address) {
    int listening = 0;
    int type = 0;
    socklen_t len = sizeof(listening);
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening == 0) {
        return false;
    }
    len = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        return false;
    }
    sockaddr_storage bound{};
    len = sizeof(bound);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len) != 0) {
        return false;
    }
    if (bound.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&bound);
        in_addr want{};
        return ::inet_pton(AF_INET, address.host.c_str(), &want) == 1 && want.s_addr == in->sin_addr.s_addr &&
               ntohs(in->sin_port) == address.port;
    }
    if (bound.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&bound);
        in6_addr want{};
        return ::inet_pton(AF_INET6, address.host.c_str(), &want) == 1 &&
               IN6_ARE_ADDR_EQUAL(&want, &in6->sin6_addr) && ntohs(in6->sin6_port) == address.port;
    }
    return false;
}
