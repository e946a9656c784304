#include "net/SocketAddress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t familyIPv4 = 2;

bool isAtoiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The port as atoi reads it: white space, an optional sign, digits up to the
// first non-digit. Where atoi's overflow is undefined this wraps modulo 2^32,
// which keeps the low 16 bits that the port uses anyway.
std::int32_t atoiPort(const char* text)
{
    while (isAtoiSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

SocketAddress::SocketAddress(const Platform::SocketAddressRecord& image) : bytes(image), valid(true)
{
}

SocketAddress::SocketAddress(const char* text)
{
    parse(text);
}

SocketAddress::SocketAddress(std::span<const std::uint8_t, 2> port,
                             std::span<const std::uint8_t, 4> address)
{
    assign(port, address);
}

void SocketAddress::clear()
{
    bytes.fill(0);
    valid = false;
}

bool SocketAddress::parse(const char* text)
{
    clear();
    if (text == nullptr) {
        return false;
    }
    const char* colon = text;
    while (*colon != '\0' && *colon != ':') {
        ++colon;
    }
    if (*colon != ':') {
        return false;
    }
    const std::string host(text, colon);
    return resolve(host.c_str(), atoiPort(colon + 1));
}

bool SocketAddress::resolve(const char* host, std::int32_t port)
{
    clear();
    if (host == nullptr) {
        return false;
    }
    std::array<std::uint8_t, 4> address{};
    const std::uint32_t dotted = Platform::dottedAddress(host);
    if (dotted == 0xFFFFFFFFu) {
        if (!Platform::lookupHost(host, address)) {
            return false;
        }
    } else {
        // The value is in network order in memory: the bytes as they lie.
        std::memcpy(address.data(), &dotted, address.size());
    }
    const auto port16 = static_cast<std::uint16_t>(port);
    const std::array<std::uint8_t, 2> portBytes = {static_cast<std::uint8_t>(port16 >> 8),
                                                   static_cast<std::uint8_t>(port16)};
    assign(portBytes, address);
    return true;
}

void SocketAddress::assign(std::span<const std::uint8_t, 2> port,
                           std::span<const std::uint8_t, 4> address)
{
    bytes.fill(0);
    bytes[0] = familyIPv4;
    std::copy(port.begin(), port.end(), bytes.begin() + 2);
    std::copy(address.begin(), address.end(), bytes.begin() + 4);
    valid = true;
}

std::string SocketAddress::ipText() const
{
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[4], bytes[5], bytes[6], bytes[7]);
    return text;
}

std::array<std::uint8_t, 4> SocketAddress::ipNetworkOrder() const
{
    return {bytes[4], bytes[5], bytes[6], bytes[7]};
}

bool SocketAddress::operator<(const SocketAddress& other) const
{
    return bytes < other.bytes;
}

std::string SocketAddress::endpointText() const
{
    const unsigned port = static_cast<unsigned>(bytes[2]) << 8 | bytes[3];
    return ipText() + ":" + std::to_string(port);
}
