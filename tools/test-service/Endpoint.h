// IPv4 endpoints as the command line and the directory entries spell them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace testservice {

struct Endpoint {
    std::string address = "127.0.0.1"; // dotted IPv4
    std::uint16_t port = 0;            // 0: an ephemeral port, see Server::port()
};

// The four octets of a dotted IPv4 address, first octet first (network
// order); throws std::invalid_argument on anything else.
std::array<std::uint8_t, 4> parseIPv4(const std::string& text);

// "a.b.c.d:port"; throws std::invalid_argument on anything else.
Endpoint parseEndpoint(const std::string& text);

// 0.0.0.0: bound to every interface, so no client can reach it by that
// address.
bool isWildcard(const std::string& address);

} // namespace testservice
