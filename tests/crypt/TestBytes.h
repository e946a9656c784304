#pragma once

// Byte strings as the crypt tests write them: from hex text, and joined.

#include "common/ByteString.h"

#include <cctype>
#include <string>
#include <string_view>

// Bytes from pairs of hex digits; anything else, such as the spaces between
// the bytes of a DER dump, is skipped.
inline ByteString fromHex(std::string_view text)
{
    std::string digits;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits.push_back(c);
        }
    }
    ByteString bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline ByteString concat(ByteString first, const ByteString& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}
