#pragma once

#include "common/ByteString.h"
#include "crypt/BigInt.h"
#include "crypt/RandomPool.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace LumenCryptMini {

// A DBProxy server's public key and textbook ElGamal encryption under it
// (Handbook of Applied Cryptography 8.18): a block integer M becomes
// a = g^k mod p and b = y^k * M mod p, with a fresh random k per block.
//
// With L = floor(bitCount(p) / 8), a ciphertext is the block count as 32 bits
// little-endian followed by a and b of every block, each big-endian in exactly
// L bytes. A block carries up to D = L - 3 plaintext bytes: laid out in L - 1
// bytes as zero padding, the bytes, and their count as the last byte, so
// M < 2^(8(L - 2)) < p and the receiver reads the count from M's lowest byte.
//
// Only moduli of 32 to 2,064 bits whose bit count is a multiple of 8 are
// accepted: below that no block has room for a byte, with a partial top byte
// a and b can outgrow their L-byte fields, and above it the count byte wraps.
//
// The key is used for one server attempt and not copied, so every attempt
// seeds a fresh pool.
class ElGamalPublicKey {
  public:
    // The pool seeds itself from the system's entropy.
    ElGamalPublicKey();
    // A pool seeded from poolSeed alone, so the exponents are reproducible.
    explicit ElGamalPublicKey(const ByteString& poolSeed);

    ElGamalPublicKey(const ElGamalPublicKey&) = delete;
    ElGamalPublicKey& operator=(const ElGamalPublicKey&) = delete;

    // Reads the DER SEQUENCE of INTEGERs p, q, g, y. True when the key is now
    // valid; a failed load leaves it invalid, whatever it held before. A zero
    // modulus throws the reciprocal's ArithmeticException ("div: Divide by
    // zero") rather than returning false.
    bool load(const std::uint8_t* data, std::int32_t length);
    bool load(const ByteString& blob);

    // False, with out untouched, when the key is not valid or the range is
    // not one (a negative length, a null pointer with bytes). False with out
    // partly written when the arithmetic of a block fails. Not constant-time:
    // each block's two exponentiations by its fresh secret exponent take time
    // that depends on the exponent's bits.
    bool encrypt(const std::uint8_t* data, std::int32_t length, ByteString& out);
    bool encrypt(const ByteString& in, ByteString& out);

    bool isValid() const { return valid; }
    // False when the system generator failed to seed this key's pool: no
    // exponent is drawn then, and every encryption fails.
    bool hasRandomness() const { return pool.seedComplete(); }

    // Bytes that encrypt writes for a plaintext of this length; 0 while the
    // key is not valid. Lets a caller refuse an oversize message before
    // paying for its exponentiations.
    std::size_t ciphertextLength(std::size_t plaintextLength) const;
    // The longest plaintext that some key load() accepts encrypts into at
    // most ciphertextLimit bytes: beyond it no server's key can help. Not
    // always the widest key's, since whole blocks can favour a narrower one.
    static std::size_t longestPlaintextWithin(std::size_t ciphertextLimit);

    // One block integer, below p, into (a, b). Internal to encrypt; false
    // when the key is not valid or the arithmetic fails.
    bool encryptBlock(const BigInt& m, std::pair<BigInt, BigInt>& pair);

  private:
    RandomPool pool;
    BigInt p;
    // Read and kept; encryption does not need it.
    BigInt q;
    BigInt g;
    BigInt y;
    BigInt recip;
    std::int32_t recipBits = 0;
    std::int32_t modulusBytes = 0;
    bool valid = false;
};

} // namespace LumenCryptMini
