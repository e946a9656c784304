#pragma once

// The ElGamal encryption of our ciphertext format written directly on GMP, as
// someone reaching for GMP would write it: the reference that our blocks and
// records are timed against. The steps match ours (an odd k of bits - 1 bits
// coprime to p - 1, g^k, y^k M mod p), so the figures compare arithmetic.

#include "common/ByteString.h"

#include <algorithm>
#include <cstddef>
#include <gmpxx.h>

class GmpElGamal {
  public:
    GmpElGamal(const mpz_class& modulus, const mpz_class& generator, const mpz_class& publicValue)
        : p(modulus), g(generator), y(publicValue), pm1(modulus - 1),
          bits(static_cast<int>(mpz_sizeinbase(modulus.get_mpz_t(), 2))),
          width(static_cast<std::size_t>(bits / 8)), random(gmp_randinit_default)
    {
        random.seed(1);
    }

    void encryptBlock(const mpz_class& m, mpz_class& a, mpz_class& b)
    {
        do {
            k = random.get_z_bits(static_cast<mp_bitcnt_t>(bits - 1));
            if (k != 0) {
                mpz_setbit(k.get_mpz_t(), 0);
            }
            mpz_gcd(divisor.get_mpz_t(), k.get_mpz_t(), pm1.get_mpz_t());
        } while (divisor != 1);
        mpz_powm(a.get_mpz_t(), g.get_mpz_t(), k.get_mpz_t(), p.get_mpz_t());
        mpz_powm(t.get_mpz_t(), y.get_mpz_t(), k.get_mpz_t(), p.get_mpz_t());
        b = t * m % p;
    }

    // The block count, then a and b of each block, L bytes each.
    void encrypt(const ByteString& plaintext, ByteString& out)
    {
        const std::size_t perBlock = width - 3;
        const std::size_t blocks = (plaintext.size() + perBlock - 1) / perBlock;
        out.assign(4 + 2 * width * blocks, 0x00);
        for (std::size_t i = 0; i < 4; ++i) {
            out[i] = static_cast<std::uint8_t>(blocks >> (8 * i));
        }
        ByteString layout(width - 1);
        for (std::size_t i = 0; i < blocks; ++i) {
            const std::size_t offset = i * perBlock;
            const std::size_t count = std::min(perBlock, plaintext.size() - offset);
            std::fill(layout.begin(), layout.end(), 0x00);
            std::copy_n(plaintext.begin() + static_cast<std::ptrdiff_t>(offset), count,
                        layout.end() - 1 - static_cast<std::ptrdiff_t>(count));
            layout.back() = static_cast<std::uint8_t>(count);
            mpz_import(blockValue.get_mpz_t(), layout.size(), 1, 1, 1, 0, layout.data());
            encryptBlock(blockValue, first, second);
            std::uint8_t* at = out.data() + 4 + 2 * width * i;
            exportPadded(first, at);
            exportPadded(second, at + width);
        }
    }

  private:
    void exportPadded(const mpz_class& value, std::uint8_t* field) const
    {
        const std::size_t length = (mpz_sizeinbase(value.get_mpz_t(), 2) + 7) / 8;
        if (value != 0) {
            mpz_export(field + (width - length), nullptr, 1, 1, 1, 0, value.get_mpz_t());
        }
    }

    const mpz_class p, g, y, pm1;
    const int bits;
    const std::size_t width;
    gmp_randclass random;
    mpz_class k, divisor, t, blockValue, first, second;
};
