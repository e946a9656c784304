#pragma once

#include "platform/Platform.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

// An IPv4 endpoint held in the exact 16-byte form the socket calls take:
//   bytes 0-1   family, 16-bit little-endian (2 once set, 0 while empty)
//   bytes 2-3   port, network byte order
//   bytes 4-7   address, network byte order
//   bytes 8-15  zero
// plus a flag telling whether the value was set successfully. A plain value:
// copies carry the flag too.
class SocketAddress {
  public:
    // All 16 bytes zero, not valid.
    SocketAddress() = default;
    // The image copied unchanged and taken as valid, whatever it holds.
    explicit SocketAddress(const Platform::SocketAddressRecord& image);
    // "host:port", as parse().
    explicit SocketAddress(const char* text);
    // An IPv4 endpoint from the port and address bytes as the directory lists
    // them, both in network byte order; valid.
    SocketAddress(std::span<const std::uint8_t, 2> port, std::span<const std::uint8_t, 4> address);

    // Splits at the first ':'; the port text is read the way atoi reads it
    // (0 without digits, only the low 16 bits kept). False, and the value
    // empty, when there is no colon or the host does not resolve.
    bool parse(const char* text);
    // A dotted number is taken as is; anything else is looked up by name and
    // the first IPv4 address used. The lookup can block without limit.
    bool resolve(const char* host, std::int32_t port);

    // "a.b.c.d", first octet first; the port is not part of it.
    std::string ipText() const;
    std::array<std::uint8_t, 4> ipNetworkOrder() const;
    // "a.b.c.d:port".
    std::string endpointText() const;
    bool isValid() const { return valid; }
    const Platform::SocketAddressRecord& record() const { return bytes; }

    // Byte-wise over the 16-byte record (so by port, then by address, among
    // set values); the valid flag takes no part.
    bool operator<(const SocketAddress& other) const;

  private:
    void clear();
    void assign(std::span<const std::uint8_t, 2> port, std::span<const std::uint8_t, 4> address);

    Platform::SocketAddressRecord bytes{};
    bool valid = false;
};
