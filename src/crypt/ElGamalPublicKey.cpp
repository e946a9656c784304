#include "crypt/ElGamalPublicKey.h"

#include "common/ArithmeticException.h"
#include "common/SecureWipe.h"
#include "crypt/DerReader.h"

#include <algorithm>
#include <cstddef>

namespace LumenCryptMini {

namespace {

constexpr int minimumModulusBits = 32;
constexpr int maximumModulusBytes = 258;
// The count byte and the two padding bytes that keep M below p.
constexpr std::size_t blockOverhead = 3;

bool servesModulus(int bits)
{
    return bits >= minimumModulusBits && bits % 8 == 0 && bits / 8 <= maximumModulusBytes;
}

bool copyRange(const std::uint8_t* data, std::int32_t length, ByteString& bytes)
{
    if (length < 0 || (data == nullptr && length != 0)) {
        return false;
    }
    bytes.assign(data, data + length);
    return true;
}

void appendUInt32le(ByteString& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// toBytes may carry a 0x00 sign byte that makes it one longer than the field;
// only the low width bytes are the number.
void appendFitted(ByteString& out, const BigInt& number, std::size_t width)
{
    const ByteString bytes = number.toBytes();
    if (bytes.size() >= width) {
        out.insert(out.end(), bytes.end() - static_cast<std::ptrdiff_t>(width), bytes.end());
    } else {
        out.insert(out.end(), width - bytes.size(), 0x00);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
}

// Every block uses only the residues of g and y, but a server may send them
// unreduced, as large as the blob allows: reduced once here, they cost each
// exponentiation nothing more than a copy. The remainder is built apart, so
// that the member's storage fits the residue rather than the number sent.
void reduceModulo(BigInt& value, const BigInt& modulus)
{
    BigInt residue;
    div(nullptr, &residue, value, modulus);
    value = residue;
}

} // namespace

ElGamalPublicKey::ElGamalPublicKey() = default;

ElGamalPublicKey::ElGamalPublicKey(const ByteString& poolSeed) : pool(poolSeed) {}

bool ElGamalPublicKey::load(const std::uint8_t* data, std::int32_t length)
{
    valid = false;
    ByteString blob;
    return copyRange(data, length, blob) && load(blob);
}

bool ElGamalPublicKey::load(const ByteString& blob)
{
    valid = false;
    DerReader reader(blob);
    reader.skipSequenceHeader();
    ByteString magnitude;
    for (BigInt* member : {&p, &q, &g, &y}) {
        const bool read = reader.readInteger(magnitude);
        member->fromBytes(magnitude);
        if (!read) {
            return false;
        }
    }
    const int bits = p.bitCount();
    modulusBytes = bits / 8;
    // Refused before any arithmetic, so that no modulus the format cannot
    // serve costs a division. Zero goes on to the reciprocal, which reports
    // it as a division by zero.
    if (bits != 0 && !servesModulus(bits)) {
        return false;
    }
    recip = p.makeRecip(recipBits);
    reduceModulo(g, p);
    reduceModulo(y, p);
    valid = true;
    return true;
}

bool ElGamalPublicKey::encrypt(const std::uint8_t* data, std::int32_t length, ByteString& out)
{
    // The copy is the plaintext.
    ByteString in;
    const WipeOnExit inWipe(in);
    return copyRange(data, length, in) && encrypt(in, out);
}

std::size_t ElGamalPublicKey::ciphertextLength(std::size_t plaintextLength) const
{
    if (!valid) {
        return 0;
    }
    const auto width = static_cast<std::size_t>(modulusBytes);
    const std::size_t perBlock = width - blockOverhead;
    return 4 + 2 * width * ((plaintextLength + perBlock - 1) / perBlock);
}

std::size_t ElGamalPublicKey::longestPlaintextWithin(std::size_t ciphertextLimit)
{
    if (ciphertextLimit < 4) {
        return 0;
    }
    std::size_t longest = 0;
    for (int bits = minimumModulusBits; servesModulus(bits); bits += 8) {
        const auto width = static_cast<std::size_t>(bits / 8);
        const std::size_t blocks = (ciphertextLimit - 4) / (2 * width);
        longest = std::max(longest, blocks * (width - blockOverhead));
    }
    return longest;
}

bool ElGamalPublicKey::encrypt(const ByteString& in, ByteString& out)
{
    if (!valid) {
        return false;
    }
    const auto width = static_cast<std::size_t>(modulusBytes);
    const std::size_t perBlock = width - blockOverhead;
    const std::size_t blocks = (in.size() + perBlock - 1) / perBlock;
    out.reserve(ciphertextLength(in.size()));
    out.clear();
    appendUInt32le(out, static_cast<std::uint32_t>(blocks));

    // Each block is laid out here with its plaintext in clear.
    ByteString layout(width - 1);
    const WipeOnExit layoutWipe(layout);
    std::pair<BigInt, BigInt> pair;
    for (std::size_t offset = 0; offset < in.size();) {
        const std::size_t count = std::min(perBlock, in.size() - offset);
        const auto source = in.begin() + static_cast<std::ptrdiff_t>(offset);
        std::fill(layout.begin(), layout.end(), 0x00);
        std::copy(source, source + static_cast<std::ptrdiff_t>(count),
                  layout.end() - 1 - static_cast<std::ptrdiff_t>(count));
        layout.back() = static_cast<std::uint8_t>(count);
        if (!encryptBlock(BigInt(layout), pair)) {
            return false;
        }
        appendFitted(out, pair.first, width);
        appendFitted(out, pair.second, width);
        offset += count;
    }
    return true;
}

bool ElGamalPublicKey::encryptBlock(const BigInt& m, std::pair<BigInt, BigInt>& pair)
{
    // An invalid key may hold p = 0, for which no k would ever be accepted;
    // a k from the guessable sample alone would give the block away.
    if (!valid || !pool.seedComplete()) {
        return false;
    }
    try {
        const BigInt pm1 = p.sub(BigInt::one);
        const int exponentBits = p.bitCount() - 1;
        const auto bits = static_cast<std::int16_t>(recipBits);
        BigInt k;
        do {
            k = BigInt(exponentBits, pool);
            // An odd k spares most gcd tests against the even p - 1. A zero
            // draw stays zero (setBit never grows a number) and is drawn
            // again, since gcd(0, p - 1) = p - 1.
            k.setBit(0);
        } while (!(k.gcd(pm1) == BigInt::one));
        pair.first = g.modExp(k, p, recip, bits);
        pair.second = y.modExp(k, p, recip, bits).modMulRecip(m, p, recip, bits);
        return true;
    } catch (const ArithmeticException&) {
        return false;
    }
}

} // namespace LumenCryptMini
