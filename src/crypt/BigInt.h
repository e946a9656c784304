#pragma once

#include "common/ByteString.h"
#include "crypt/BigIntCore.h"

#include <cstdint>

namespace LumenCryptMini {

class RandomPool;

// Value-style arithmetic on BigIntCore: every operation computes into a
// temporary and returns a new number, so callers never meet the core's
// aliasing rules. Failures are the core's ArithmeticExceptions.
class BigInt : public BigIntCore {
  public:
    // The value 1, built at start-up and only read afterwards.
    static const BigInt one;

    BigInt() = default;
    // With isNegative set, value is negated (two's complement) to give the
    // magnitude: BigInt(~0ull, true) is -1.
    BigInt(std::uint64_t value, bool isNegative);
    explicit BigInt(const ByteString& bytes);
    // Uniform in [0, 2^bits): ceiling(bits / 8) bytes from pool.fill, read
    // big-endian with the surplus top bits of the first byte cleared. bits <= 0
    // gives zero and leaves the pool untouched.
    BigInt(int bits, RandomPool& pool);
    BigInt(const BigInt& other) = default;
    BigInt& operator=(const BigInt& other) = default;
    ~BigInt() override;

    void fromBytes(const ByteString& bytes);
    ByteString toBytes() const;

    int bitCount() const;
    bool testBit(int n) const;
    BigInt& setBit(int n);

    int cmp(const BigInt& b) const;
    bool operator==(const BigInt& b) const { return cmp(b) == 0; }

    BigInt sub(const BigInt& b) const;
    BigInt gcd(const BigInt& b) const;
    // this^e mod m, with recip and recipBits from makeRecip of m. Variable-time
    // in e (see the core's modExp).
    BigInt modExp(const BigInt& e, const BigInt& m, const BigInt& recip,
                  std::int16_t recipBits) const;
    // this * b mod m, with recip and recipBits from makeRecip of m.
    BigInt modMulRecip(const BigInt& b, const BigInt& m, const BigInt& recip,
                       std::int16_t recipBits) const;
    // The Barrett reciprocal of this number; stores bitCount + 1 in recipBits.
    BigInt makeRecip(int& recipBits) const;
};

} // namespace LumenCryptMini
