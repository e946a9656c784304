#pragma once

#include "common/ByteString.h"
#include "crypt/MD5.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace LumenCryptMini {

// Pseudo-random bytes from MD5(seed || counter), one 16-byte block per
// counter value, the counter as 8 little-endian bytes starting at 0. A pool
// is seeded once, at construction, and never stirred again, so its whole
// output follows from the seeding bytes.
class RandomPool {
  public:
    // Seeds from gatherEntropy() followed by 32 bytes of the operating
    // system's cryptographic generator, in one addSeed call. When the
    // generator delivers fewer, the missing bytes stay zero and the pool is
    // not seedComplete(): its output then follows from the guessable sample
    // alone, and no key or exponent may be drawn from it.
    RandomPool();
    // Seeds from exactly these bytes, so that output is reproducible.
    explicit RandomPool(const ByteString& seedBytes);

    // Wipes the seed, the waiting output and the counter.
    ~RandomPool();
    RandomPool(const RandomPool&) = delete;
    RandomPool& operator=(const RandomPool&) = delete;

    // False only for a default pool whose system generator came up short.
    bool seedComplete() const { return complete; }

    // seed = MD5(old seed || bytes), or MD5(bytes) for the first seeding.
    void addSeed(const ByteString& bytes);
    // Overwrites every byte of buffer, over its current length. Bytes left in
    // the current block carry over to the next call, so two fills of 8 give
    // the same bytes as one fill of 16.
    void fill(ByteString& buffer);

  private:
    void nextBlock();

    ByteString seed;
    MD5 md5;
    std::array<std::uint8_t, MD5::digestLength> outputBlock{};
    // outputBlock.size() when no block is waiting.
    std::size_t blockPosition = MD5::digestLength;
    std::uint64_t blockCounter = 0;
    bool complete = true;
};

// The 8-byte system-state sample: the larger of the used and free space of
// the current drive, the high half of the millisecond tick, the system time
// and the new entropyCounter value. On its own it is guessable by anyone who
// can bound those quantities; the default pool adds system randomness to it.
ByteString gatherEntropy();

// Process-wide, 0 at load; changed only by the atomic increment in
// gatherEntropy, so two samples taken at the same instant still differ.
extern std::int32_t entropyCounter;

} // namespace LumenCryptMini
