#pragma once

#include <array>
#include <cstdint>

namespace LumenCryptMini {

// Blowfish's initial P-array and S-boxes: the fractional part of pi in
// hexadecimal, taken in order, P0..P17 first and then S0[0]..S3[255]
// (B. Schneier, "Description of a New Variable-Length Key, 64-Bit Block
// Cipher (Blowfish)", Fast Software Encryption 1993). Read-only and shared.
extern const std::array<std::uint32_t, 18> initialSubkeys;
extern const std::array<std::array<std::uint32_t, 256>, 4> initialSboxes;

} // namespace LumenCryptMini
