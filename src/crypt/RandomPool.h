#pragma once

#include "common/ByteString.h"
#include "crypt/MD5.h"

#include <cstdint>

namespace LumenCryptMini {

// Pseudo-random bytes from MD5(seed || counter), one 16-byte block per
// counter value. A pool is seeded once, at construction, and never stirred
// again.
class RandomPool {
public:
    // Seeds from gatherEntropy() followed by bytes of the operating system's
    // cryptographic generator.
    RandomPool();
    // Seeds from exactly these bytes, so that output is reproducible.
    explicit RandomPool(const ByteString& seedBytes);

    RandomPool(const RandomPool&) = delete;
    RandomPool& operator=(const RandomPool&) = delete;

    // seed = MD5(old seed || bytes), or MD5(bytes) for the first seeding.
    void addSeed(const ByteString& bytes);
    // Overwrites every byte of buffer, over its current length.
    void fill(ByteString& buffer);

private:
    ByteString seed;
    MD5 md5;
    ByteString outputBlock;
    std::int32_t blockPosition = 0;
    std::uint64_t blockCounter = 0;
};

// The 8-byte system-state sample; each call takes a new entropyCounter value.
ByteString gatherEntropy();

} // namespace LumenCryptMini
