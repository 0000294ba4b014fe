// The listen address of the metrics endpoint: "IPV4:PORT" or "[IPV6]:PORT".
#pragma once

#include <sys/socket.h>

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

// Why no TCP connection can ever reach `address` ("a multicast address",
// "the broadcast address"; IPv4-mapped IPv6 forms included), or nothing.
std::optional<std::string> talonmon_listen_address_refusal(const talonmon_listen_address_s &address);

// The socket address `address` names; false when its host is not numeric.
bool talonmon_socket_address(const talonmon_listen_address_s &address, sockaddr_storage &out, socklen_t &len);

// True when the listening socket `fd` is bound to exactly `address` (family,
// address and port). A socket that is not a listening TCP socket matches no
// address.
bool talonmon_socket_matches(int fd, const talonmon_listen_address_s &address);
