#pragma once

#include "TestBytes.h"
#include "common/ByteString.h"

#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// Records of a known-answer file in tests/crypt/data: "Name = hex" lines,
// records separated by blank lines, '#' starting a comment line.
using KnownAnswer = std::map<std::string, ByteString>;
std::vector<KnownAnswer> readKnownAnswers(const std::string& fileName);

inline ByteString randomBytes(std::mt19937& random, std::size_t length)
{
    ByteString bytes(length);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Little-endian bytes of the low `count` bytes of value, and back.
inline ByteString littleEndian(std::uint64_t value, std::size_t count = 8)
{
    ByteString bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
    return bytes;
}

inline std::uint64_t fromLittleEndian(const ByteString& bytes)
{
    std::uint64_t value = 0;
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) {
        value = value << 8 | *byte;
    }
    return value;
}

// A Blowfish block word: four bytes big-endian.
inline std::uint32_t word32be(const ByteString& bytes, std::size_t offset)
{
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}
