#pragma once

#include <cstdint>
#include <string>

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
