#include "test-service/Wire.h"

#include <cctype>

namespace testservice {

std::string hexText(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

Bytes parseHex(const std::string& text)
{
    Bytes bytes;
    int high = -1;
    for (const char ch : text) {
        if (std::isspace(static_cast<unsigned char>(ch))) {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(ch))) {
            throw std::invalid_argument("not a hex digit: '" + std::string(1, ch) + "'");
        }
        const int value = std::isdigit(static_cast<unsigned char>(ch))
                              ? ch - '0'
                              : std::tolower(static_cast<unsigned char>(ch)) - 'a' + 10;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0) {
        throw std::invalid_argument("odd number of hex digits");
    }
    return bytes;
}

std::string quotedText(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            text += "\\x";
            text += digits[byte >> 4];
            text += digits[byte & 15];
        }
    }
    return text;
}

} // namespace testservice
