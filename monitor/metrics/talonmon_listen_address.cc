#include "monitor/metrics/talonmon_listen_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace {

constexpr uint32_t k_max_port = 65535;
constexpr uint32_t k_ipv4_multicast_mask = 0xf0000000;  // 224.0.0.0/4
constexpr uint32_t k_ipv4_multicast_net = 0xe0000000;
constexpr uint8_t k_ipv6_multicast_prefix = 0xff;  // ff00::/8

bool is_ipv6_host(const std::string &host) { return host.find(':') != std::string::npos; }

std::optional<std::string> ipv4_refusal(const in_addr &addr) {
    const uint32_t host_order = ntohl(addr.s_addr);
    if (host_order == INADDR_BROADCAST) {
        return "the broadcast address";
    }
    if ((host_order & k_ipv4_multicast_mask) == k_ipv4_multicast_net) {
        return "a multicast address";
    }
    return std::nullopt;
}

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

std::optional<std::string> talonmon_listen_address_refusal(const talonmon_listen_address_s &address) {
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (!talonmon_socket_address(address, storage, len)) {
        return std::nullopt;
    }
    if (storage.ss_family == AF_INET) {
        return ipv4_refusal(reinterpret_cast<const sockaddr_in &>(storage).sin_addr);
    }
    const in6_addr &addr6 = reinterpret_cast<const sockaddr_in6 &>(storage).sin6_addr;
    if (addr6.s6_addr[0] == k_ipv6_multicast_prefix) {
        return "a multicast address";
    }
    if (IN6_IS_ADDR_V4MAPPED(&addr6)) {
        in_addr addr4{};
        std::memcpy(&addr4, &addr6.s6_addr[12], sizeof(addr4));
        return ipv4_refusal(addr4);
    }
    return std::nullopt;
}

bool talonmon_socket_address(const talonmon_listen_address_s &address, sockaddr_storage &out, socklen_t &len) {
    out = sockaddr_storage{};
    if (is_ipv6_host(address.host)) {
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(address.port);
        if (::inet_pton(AF_INET6, address.host.c_str(), &addr.sin6_addr) != 1) {
            return false;
        }
        std::memcpy(&out, &addr, sizeof(addr));
        len = sizeof(addr);
        return true;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(address.port);
    if (::inet_pton(AF_INET, address.host.c_str(), &addr.sin_addr) != 1) {
        return false;
    }
    std::memcpy(&out, &addr, sizeof(addr));
    len = sizeof(addr);
    return true;
}

bool talonmon_socket_matches(int fd, const talonmon_listen_address_s &address) {
    int type = 0;
    int listening = 0;
    socklen_t option_len = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &option_len) != 0 || type != SOCK_STREAM) {
        return false;
    }
    option_len = sizeof(listening);
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &option_len) != 0 || listening == 0) {
        return false;
    }
    sockaddr_storage wanted{};
    socklen_t wanted_len = 0;
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof(bound);
    if (!talonmon_socket_address(address, wanted, wanted_len) ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &bound_len) != 0 || bound.ss_family != wanted.ss_family) {
        return false;
    }
    if (wanted.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(wanted);
        const auto &b = reinterpret_cast<const sockaddr_in &>(bound);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    const auto &a = reinterpret_cast<const sockaddr_in6 &>(wanted);
    const auto &b = reinterpret_cast<const sockaddr_in6 &>(bound);
    return a.sin6_port == b.sin6_port && std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof(a.sin6_addr)) == 0;
}
