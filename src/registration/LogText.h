#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Numbers from servers are logged as the signed values of their width, so
// an error status with its top bit set shows as a negative number.
inline std::string signedText8(std::uint8_t value)
{
    return std::to_string(static_cast<std::int8_t>(value));
}

inline std::string signedText16(std::uint16_t value)
{
    return std::to_string(static_cast<std::int16_t>(value));
}

// Text from outside the library (the environment, a file, the host) as a log
// line may quote it: control bytes escaped ("\n", "\r", "\t", "\xNN"), so
// that no value can end a line early and write a line of its own. Bytes from
// 0x80 up are kept, for UTF-8 paths.
inline std::string escapedForLog(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            escaped += "\\x";
            escaped.push_back(hex[byte >> 4]);
            escaped.push_back(hex[byte & 0xF]);
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}
