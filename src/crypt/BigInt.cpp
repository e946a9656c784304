#include "crypt/BigInt.h"

#include "common/SecureWipe.h"
#include "crypt/BigIntLimbs.h"
#include "crypt/RandomPool.h"

#include <cstddef>

namespace LumenCryptMini {

const BigInt BigInt::one(1, false);

BigInt::BigInt(std::uint64_t value, bool isNegative)
{
    const std::uint64_t magnitude = isNegative ? ~value + 1 : value;
    limbs[0] = Limbs::low(magnitude);
    limbs[1] = Limbs::high(magnitude);
    used = 2;
    Limbs::trim(*this);
    negative = isNegative;
}

BigInt::BigInt(const ByteString& bytes)
{
    LumenCryptMini::fromBytes(*this, bytes);
}

BigInt::BigInt(int bits, RandomPool& pool)
{
    const int count = bits > 0 ? (bits + 7) / 8 : 0;
    if (count == 0) {
        return;
    }
    // The draw is the number itself, an exponent as a rule.
    ByteString bytes(static_cast<std::size_t>(count), 0);
    const WipeOnExit bytesWipe(bytes);
    pool.fill(bytes);
    const int surplus = 8 * count - bits;
    bytes[0] = static_cast<std::uint8_t>(bytes[0] & ((1u << (8 - surplus)) - 1));
    LumenCryptMini::fromBytes(*this, bytes);
}

BigInt::~BigInt() = default;

void BigInt::fromBytes(const ByteString& bytes)
{
    LumenCryptMini::fromBytes(*this, bytes);
}

ByteString BigInt::toBytes() const
{
    ByteString bytes;
    LumenCryptMini::toBytes(*this, bytes);
    return bytes;
}

int BigInt::bitCount() const
{
    return LumenCryptMini::bitCount(*this);
}

bool BigInt::testBit(int n) const
{
    return LumenCryptMini::testBit(*this, n);
}

BigInt& BigInt::setBit(int n)
{
    LumenCryptMini::setBit(*this, n);
    return *this;
}

int BigInt::cmp(const BigInt& b) const
{
    return LumenCryptMini::cmp(*this, b);
}

BigInt BigInt::sub(const BigInt& b) const
{
    BigInt r;
    LumenCryptMini::sub(r, *this, b);
    return r;
}

BigInt BigInt::gcd(const BigInt& b) const
{
    BigInt r;
    LumenCryptMini::gcd(r, *this, b);
    return r;
}

BigInt BigInt::modExp(const BigInt& e, const BigInt& m, const BigInt& recip,
                      std::int16_t recipBits) const
{
    BigInt r;
    LumenCryptMini::modExp(r, *this, e, m, recip, recipBits);
    return r;
}

BigInt BigInt::modMulRecip(const BigInt& b, const BigInt& m, const BigInt& recip,
                           std::int16_t recipBits) const
{
    BigInt r;
    LumenCryptMini::modMulRecip(r, *this, b, m, recip, recipBits, nullptr);
    return r;
}

BigInt BigInt::makeRecip(int& recipBits) const
{
    BigInt r;
    recipBits = LumenCryptMini::makeRecip(r, *this);
    return r;
}

} // namespace LumenCryptMini
