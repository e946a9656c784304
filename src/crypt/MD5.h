#pragma once

#include "common/ByteString.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace LumenCryptMini {

// The MD5 message digest of RFC 1321, fed incrementally. After finish() the
// object is back in its reset state and takes the next message at once.
class MD5 {
  public:
    static constexpr std::size_t digestLength = 16;

    MD5() { reset(); }
    // Wipes the pending input and the chaining value: a pool hashes its seed.
    ~MD5();
    MD5(const MD5&) = default;
    MD5& operator=(const MD5&) = default;

    void reset();

    void update(const ByteString& bytes) { update(bytes.data(), bytes.size()); }
    // data may be null when length is 0.
    void update(const std::uint8_t* data, std::size_t length);

    ByteString finish();
    // Writes the 16-byte digest to out; for callers that keep their own
    // buffer and must not allocate.
    void finish(std::uint8_t* out);

    ByteString digest(const ByteString& bytes)
    {
        update(bytes);
        return finish();
    }

  private:
    // Input bytes not yet compressed: the first (bitCount / 8) % 64 of them
    // are live. finish() builds the padded last block here too.
    std::array<std::uint8_t, 64> pending{};
    std::array<std::uint32_t, 4> state{};
    std::uint64_t bitCount = 0;
};

} // namespace LumenCryptMini
