#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

void checkFailed(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

std::uint8_t InputReader::byte()
{
    if (left == 0) {
        return 0;
    }
    --left;
    return *at++;
}

std::uint16_t InputReader::u16()
{
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | byte() << 8);
}

std::uint32_t InputReader::u32()
{
    const std::uint32_t low = u16();
    return low | static_cast<std::uint32_t>(u16()) << 16;
}

ByteString InputReader::bytes(std::size_t count)
{
    const std::size_t taken = std::min(count, left);
    ByteString out(at, at + taken);
    at += taken;
    left -= taken;
    return out;
}

namespace {

std::string printable(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n' || (byte >= 0x20 && byte < 0x7F)) {
            out.push_back(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

} // namespace

void checkSameText(const std::string& expected, const std::string& actual, const char* what)
{
    if (expected != actual) {
        std::fprintf(stderr, "%s differs.\n--- expected\n%s\n--- actual\n%s\n", what,
                     printable(expected).c_str(), printable(actual).c_str());
        checkFailed("texts are equal", __FILE__, __LINE__);
    }
}

} // namespace fuzzsupport
