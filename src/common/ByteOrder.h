#pragma once

#include <cstdint>

// Fixed-width integers to and from bytes, the byte order in each name: the
// wire and MD5 are little-endian, Blowfish's block words big-endian.
// Written byte by byte, so alignment never matters; compilers turn each into
// a single load or store where the machine allows it.

inline std::uint16_t load16le(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(std::uint16_t{p[0]} | std::uint16_t{p[1]} << 8);
}

inline std::uint32_t load32le(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

inline std::uint32_t load32be(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

inline void store16le(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store32le(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void store64le(std::uint8_t* p, std::uint64_t v)
{
    store32le(p, static_cast<std::uint32_t>(v));
    store32le(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline void store32be(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
