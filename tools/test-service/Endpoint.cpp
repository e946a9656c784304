#include "test-service/Endpoint.h"

#include <arpa/inet.h>
#include <cstring>
#include <stdexcept>

namespace testservice {

std::array<std::uint8_t, 4> parseIPv4(const std::string& text)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        throw std::invalid_argument("not a dotted IPv4 address: \"" + text + "\"");
    }
    std::array<std::uint8_t, 4> octets{};
    std::memcpy(octets.data(), &parsed.s_addr, octets.size());
    return octets;
}

Endpoint parseEndpoint(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        throw std::invalid_argument("expected address:port, got \"" + text + "\"");
    }
    Endpoint endpoint;
    endpoint.address = text.substr(0, colon);
    parseIPv4(endpoint.address);
    const std::string portText = text.substr(colon + 1);
    std::size_t used = 0;
    unsigned long port = 0;
    try {
        port = std::stoul(portText, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != portText.size() || port > 65535) {
        throw std::invalid_argument("not a port number: \"" + portText + "\"");
    }
    endpoint.port = static_cast<std::uint16_t>(port);
    return endpoint;
}

bool isWildcard(const std::string& address)
{
    return parseIPv4(address) == std::array<std::uint8_t, 4>{};
}

} // namespace testservice
