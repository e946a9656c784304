// SocketAddress parsing of endpoint texts: the input is two texts split at
// its first zero byte. Each is parsed by the real SocketAddress, whose record,
// valid flag, result and ipText are compared with a reading of the text made
// here; the two values must order as their records compare.
//
// The harness stands in for the platform's two address calls. The dotted
// conversion is the C library's inet_addr, as in the real backend; name
// lookup answers from a fixed table, because a resolver would block the run
// on the network and answer differently from one run to the next.

#include "FuzzSupport.h"
#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

int lookups = 0;
std::string lastLookup;

// "localhost" and names starting with "host" resolve; nothing else does.
bool fakeLookup(const std::string& name, std::array<std::uint8_t, 4>& address)
{
    if (name == "localhost") {
        address = {127, 0, 0, 1};
        return true;
    }
    if (name.rfind("host", 0) != 0) {
        return false;
    }
    std::uint32_t hash = 2166136261u;
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    address = {static_cast<std::uint8_t>(hash >> 24), static_cast<std::uint8_t>(hash >> 16),
               static_cast<std::uint8_t>(hash >> 8), static_cast<std::uint8_t>(hash)};
    return true;
}

// atoi's reading, kept to the 16 bits a port holds.
std::uint16_t portOf(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    unsigned value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = (value * 10 + static_cast<unsigned>(*text - '0')) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(negative ? (0x10000u - value) & 0xFFFFu : value);
}

void checkParse(const std::string& text, const SocketAddress& parsed, bool result)
{
    Platform::SocketAddressRecord expected{};
    bool resolves = false;
    // One lookup for a host that is not a dotted number, none otherwise.
    int expectedLookups = 0;
    const auto colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string host = text.substr(0, colon);
        std::array<std::uint8_t, 4> address{};
        const in_addr_t dotted = inet_addr(host.c_str());
        if (dotted != INADDR_NONE) {
            std::memcpy(address.data(), &dotted, 4);
            resolves = true;
        } else {
            expectedLookups = 1;
            FUZZ_CHECK(lastLookup == host);
            resolves = fakeLookup(host, address);
        }
        if (resolves) {
            const std::uint16_t port = portOf(text.c_str() + colon + 1);
            expected = {2,
                        0,
                        static_cast<std::uint8_t>(port >> 8),
                        static_cast<std::uint8_t>(port),
                        address[0],
                        address[1],
                        address[2],
                        address[3]};
        }
    }
    FUZZ_CHECK(lookups == expectedLookups);
    FUZZ_CHECK(result == resolves);
    FUZZ_CHECK(parsed.isValid() == resolves);
    FUZZ_CHECK(parsed.record() == expected);
    const std::string dotted = std::to_string(expected[4]) + "." + std::to_string(expected[5]) +
                               "." + std::to_string(expected[6]) + "." +
                               std::to_string(expected[7]);
    FUZZ_CHECK(parsed.ipText() == dotted);
}

} // namespace

namespace Platform {

std::uint32_t dottedAddress(const char* text)
{
    return inet_addr(text);
}

bool lookupHost(const char* name, std::array<std::uint8_t, 4>& address)
{
    ++lookups;
    lastLookup = name;
    return fakeLookup(name, address);
}

} // namespace Platform

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\0');
    const std::string texts[2] = {input.substr(0, split), split == std::string::npos
                                                              ? std::string()
                                                              : input.substr(split + 1)};
    SocketAddress parsed[2];
    for (int i = 0; i < 2; ++i) {
        lookups = 0;
        lastLookup.clear();
        const bool result = parsed[i].parse(texts[i].c_str());
        checkParse(texts[i].c_str(), parsed[i], result);
    }
    const int order = std::memcmp(parsed[0].record().data(), parsed[1].record().data(), 16);
    FUZZ_CHECK((parsed[0] < parsed[1]) == (order < 0));
    FUZZ_CHECK((parsed[1] < parsed[0]) == (order > 0));
    // Copies carry the record and the flag.
    const SocketAddress copy = parsed[0];
    FUZZ_CHECK(copy.record() == parsed[0].record() && copy.isValid() == parsed[0].isValid());
    return 0;
}
