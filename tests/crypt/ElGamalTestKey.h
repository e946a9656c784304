#pragma once

// Keys whose private exponent is known, built with GMP, so that ciphertexts
// can be opened and checked. Shared by the tests and the benchmarks.

#include "common/ByteString.h"

#include <cstddef>
#include <gmpxx.h>
#include <string_view>

namespace ElGamalTesting {

struct TestKey {
    mpz_class p, q, g, y, x;
};

// The published safe-prime groups with g = 2: RFC 2409 group 2 (1024 bits),
// RFC 3526 groups 5 (1536) and 14 (2048), taken from OpenSSL's copies. x is
// drawn from seed.
TestKey modpKey(int bits, unsigned long seed);
// A prime of exactly bits bits (the next prime above a random start), g = 2;
// for sizes no published group has.
TestKey primeKey(int bits, unsigned long seed);

mpz_class fromBytes(const ByteString& bytes);
// Big-endian, left-padded to width.
ByteString toBytes(const mpz_class& value, std::size_t width);

// Minimal DER: tag 02, the shortest length form, magnitude with a 0x00 in
// front when its top bit is set.
ByteString derInteger(const mpz_class& value);
// The four INTEGERs p, q, g, y without a SEQUENCE header.
ByteString keyIntegers(const TestKey& key);
// The same under a 30 82 hi lo header.
ByteString keyBlob(const TestKey& key);

// M = b * a^(p - 1 - x) mod p.
mpz_class decrypt(const TestKey& key, const mpz_class& a, const mpz_class& b);

} // namespace ElGamalTesting
