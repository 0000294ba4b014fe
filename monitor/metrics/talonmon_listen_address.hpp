// The listen address of the metrics endpoint: "IPV4:PORT" or "[IPV6]:PORT".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct talonmon_listen_address_s {
    std::string host;  // numeric address without brackets
    uint16_t port = 0;
    bool operator==(const talonmon_listen_address_s &) const = default;
};

// The address `text` names, or nothing when it is not a numeric IPv4
// address or a bracketed IPv6 address followed by ':' and a port 1-65535.
std::optional<talonmon_listen_address_s> talonmon_parse_listen_address(const std::string &text);

// True when `fd` is a listening TCP socket bound to exactly `address` (same
// family, address and port).
bool talonmon_socket_matches(int fd, const talonmon_listen_address_s &address);
