#include "crypt/ElGamalTestKey.h"

#include "TestBytes.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <stdexcept>
#include <string>

namespace ElGamalTesting {

namespace {

mpz_class publishedPrime(int bits)
{
    BIGNUM* prime = nullptr;
    switch (bits) {
    case 1024:
        prime = BN_get_rfc2409_prime_1024(nullptr);
        break;
    case 1536:
        prime = BN_get_rfc3526_prime_1536(nullptr);
        break;
    case 2048:
        prime = BN_get_rfc3526_prime_2048(nullptr);
        break;
    default:
        throw std::invalid_argument("no published group of that size");
    }
    char* hex = BN_bn2hex(prime);
    mpz_class value(hex, 16);
    OPENSSL_free(hex);
    BN_free(prime);
    return value;
}

TestKey completeKey(const mpz_class& p, unsigned long seed)
{
    gmp_randclass random(gmp_randinit_default);
    random.seed(seed);
    TestKey key;
    key.p = p;
    key.q = (p - 1) / 2;
    key.g = 2;
    key.x = random.get_z_range(p - 2) + 1;
    mpz_powm(key.y.get_mpz_t(), key.g.get_mpz_t(), key.x.get_mpz_t(), p.get_mpz_t());
    return key;
}

} // namespace

TestKey modpKey(int bits, unsigned long seed)
{
    return completeKey(publishedPrime(bits), seed);
}

TestKey primeKey(int bits, unsigned long seed)
{
    gmp_randclass random(gmp_randinit_default);
    random.seed(seed);
    const mpz_class top = mpz_class(1) << (bits - 1);
    mpz_class p;
    do {
        const mpz_class start = top + random.get_z_bits(bits - 2);
        mpz_nextprime(p.get_mpz_t(), start.get_mpz_t());
    } while (mpz_sizeinbase(p.get_mpz_t(), 2) != static_cast<std::size_t>(bits));
    return completeKey(p, seed);
}

mpz_class fromBytes(const ByteString& bytes)
{
    mpz_class value;
    mpz_import(value.get_mpz_t(), bytes.size(), 1, 1, 1, 0, bytes.data());
    return value;
}

ByteString toBytes(const mpz_class& value, std::size_t width)
{
    const std::size_t length = (mpz_sizeinbase(value.get_mpz_t(), 2) + 7) / 8;
    if (length > width) {
        throw std::invalid_argument("value wider than its field");
    }
    ByteString bytes(width, 0x00);
    if (value != 0) {
        mpz_export(bytes.data() + (width - length), nullptr, 1, 1, 1, 0, value.get_mpz_t());
    }
    return bytes;
}

ByteString derInteger(const mpz_class& value)
{
    ByteString content = toBytes(value, (mpz_sizeinbase(value.get_mpz_t(), 2) + 7) / 8);
    if (!content.empty() && content[0] >= 0x80) {
        content.insert(content.begin(), 0x00);
    }
    const std::size_t length = content.size();
    ByteString der{0x02};
    if (length >= 0x100) {
        der.insert(der.end(), {0x82, static_cast<std::uint8_t>(length >> 8),
                               static_cast<std::uint8_t>(length)});
    } else if (length >= 0x80) {
        der.insert(der.end(), {0x81, static_cast<std::uint8_t>(length)});
    } else {
        der.push_back(static_cast<std::uint8_t>(length));
    }
    return concat(der, content);
}

ByteString keyIntegers(const TestKey& key)
{
    ByteString body;
    for (const mpz_class* part : {&key.p, &key.q, &key.g, &key.y}) {
        body = concat(body, derInteger(*part));
    }
    return body;
}

ByteString keyBlob(const TestKey& key)
{
    const ByteString body = keyIntegers(key);
    return concat({0x30, 0x82, static_cast<std::uint8_t>(body.size() >> 8),
                   static_cast<std::uint8_t>(body.size())},
                  body);
}

mpz_class decrypt(const TestKey& key, const mpz_class& a, const mpz_class& b)
{
    const mpz_class exponent = key.p - 1 - key.x;
    mpz_class factor;
    mpz_powm(factor.get_mpz_t(), a.get_mpz_t(), exponent.get_mpz_t(), key.p.get_mpz_t());
    return mpz_class(b * factor) % key.p;
}

} // namespace ElGamalTesting
