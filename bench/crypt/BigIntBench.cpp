// Modular exponentiation with a full-size exponent, side by side with GMP's
// mpz_powm and OpenSSL's BN_mod_exp on the same operands, at every 128 bits
// from 512 to 2048.

#include "crypt/BigIntCore.h"

#include <benchmark/benchmark.h>
#include <gmp.h>
#include <openssl/bn.h>
#include <random>

using namespace LumenCryptMini;

namespace {

// A modulus of exactly `bits` bits (odd, as for a prime), a base below it and
// an exponent of the same size, as big-endian bytes.
struct Operands {
    ByteString modulus;
    ByteString base;
    ByteString exponent;
};

ByteString randomBytes(std::mt19937_64& engine, int bits)
{
    ByteString bytes(static_cast<std::size_t>(bits / 8));
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(engine());
    }
    bytes[0] |= 0x80;
    return bytes;
}

Operands operands(int bits)
{
    std::mt19937_64 engine(static_cast<std::uint64_t>(bits));
    Operands o{randomBytes(engine, bits), randomBytes(engine, bits), randomBytes(engine, bits)};
    o.modulus.back() |= 1;
    o.base[0] &= 0x7f;
    return o;
}

void importMpz(mpz_t out, const ByteString& bytes)
{
    mpz_import(out, bytes.size(), 1, 1, 0, 0, bytes.data());
}

void modExpBigInt(benchmark::State& state)
{
    const Operands o = operands(static_cast<int>(state.range(0)));
    BigIntCore m, a, e, recip, r;
    fromBytes(m, o.modulus);
    fromBytes(a, o.base);
    fromBytes(e, o.exponent);
    const auto recipBits = static_cast<std::int16_t>(makeRecip(recip, m));
    for (auto _ : state) {
        modExp(r, a, e, m, recip, recipBits);
        benchmark::DoNotOptimize(r.limbs[0]);
    }
}

void modExpGmp(benchmark::State& state)
{
    const Operands o = operands(static_cast<int>(state.range(0)));
    mpz_t m, a, e, r;
    mpz_inits(m, a, e, r, nullptr);
    importMpz(m, o.modulus);
    importMpz(a, o.base);
    importMpz(e, o.exponent);
    for (auto _ : state) {
        mpz_powm(r, a, e, m);
        benchmark::DoNotOptimize(mpz_getlimbn(r, 0));
    }
    mpz_clears(m, a, e, r, nullptr);
}

void modExpOpenSsl(benchmark::State& state)
{
    const Operands o = operands(static_cast<int>(state.range(0)));
    const auto toBn = [](const ByteString& bytes) {
        return BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr);
    };
    BIGNUM* m = toBn(o.modulus);
    BIGNUM* a = toBn(o.base);
    BIGNUM* e = toBn(o.exponent);
    BIGNUM* r = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    for (auto _ : state) {
        BN_mod_exp(r, a, e, m, ctx);
        benchmark::DoNotOptimize(r);
    }
    BN_CTX_free(ctx);
    BN_free(r);
    BN_free(e);
    BN_free(a);
    BN_free(m);
}

} // namespace

// Names are <operation>/<implementation>/<size>: scripts/bench.sh pairs ours
// with the reference of the same operation and size.
BENCHMARK(modExpBigInt)
    ->Name("modExp/ours")
    ->ArgName("bits")
    ->DenseRange(512, 2048, 128)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpGmp)
    ->Name("modExp/gmp")
    ->ArgName("bits")
    ->DenseRange(512, 2048, 128)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpOpenSsl)
    ->Name("modExp/openssl")
    ->ArgName("bits")
    ->DenseRange(512, 2048, 128)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
