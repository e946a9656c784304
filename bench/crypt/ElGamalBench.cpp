// One ElGamal block under our big numbers and the same steps under GMP, plus
// the per-key costs (the reciprocal and a whole load) that every attempt pays.

#include "crypt/ElGamalPublicKey.h"
#include "crypt/ElGamalTestKey.h"

#include <benchmark/benchmark.h>
#include <utility>

using namespace ElGamalTesting;
using LumenCryptMini::BigInt;
using LumenCryptMini::ElGamalPublicKey;

namespace {

// The largest block integer: L - 1 bytes whose first stays zero.
ByteString fullBlock(int bits)
{
    ByteString layout(static_cast<std::size_t>(bits / 8 - 1), 0xa5);
    layout[0] = 0x00;
    return layout;
}

void elGamalBlock(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    ElGamalPublicKey key(ByteString{0x5e, 0xed});
    if (!key.load(keyBlob(modpKey(bits, 1)))) {
        state.SkipWithError("key did not load");
        return;
    }
    const BigInt m(fullBlock(bits));
    std::pair<BigInt, BigInt> pair;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.encryptBlock(m, pair));
    }
}

// The same steps: draw an odd k of bits - 1 bits coprime to p - 1, then
// g^k, y^k and the product with M, all mod p.
void gmpElGamalBlock(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    const TestKey key = modpKey(bits, 1);
    const mpz_class m = fromBytes(fullBlock(bits));
    const mpz_class pm1 = key.p - 1;
    gmp_randclass random(gmp_randinit_default);
    random.seed(1);
    mpz_class k, divisor, a, t, b;
    for (auto _ : state) {
        do {
            k = random.get_z_bits(static_cast<mp_bitcnt_t>(bits - 1));
            if (k != 0) {
                mpz_setbit(k.get_mpz_t(), 0);
            }
            mpz_gcd(divisor.get_mpz_t(), k.get_mpz_t(), pm1.get_mpz_t());
        } while (divisor != 1);
        mpz_powm(a.get_mpz_t(), key.g.get_mpz_t(), k.get_mpz_t(), key.p.get_mpz_t());
        mpz_powm(t.get_mpz_t(), key.y.get_mpz_t(), k.get_mpz_t(), key.p.get_mpz_t());
        b = t * m % key.p;
        benchmark::DoNotOptimize(a.get_mpz_t());
        benchmark::DoNotOptimize(b.get_mpz_t());
    }
}

void makeRecip1024(benchmark::State& state)
{
    const BigInt p(toBytes(modpKey(1024, 1).p, 128));
    int recipBits = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.makeRecip(recipBits));
    }
}

void gmpRecip1024(benchmark::State& state)
{
    const mpz_class p = modpKey(1024, 1).p;
    const mpz_class power = mpz_class(1) << 2048;
    mpz_class recip;
    for (auto _ : state) {
        mpz_tdiv_q(recip.get_mpz_t(), power.get_mpz_t(), p.get_mpz_t());
        benchmark::DoNotOptimize(recip.get_mpz_t());
    }
}

void load1024(benchmark::State& state)
{
    const ByteString blob = keyBlob(modpKey(1024, 1));
    ElGamalPublicKey key(ByteString{0x5e, 0xed});
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.load(blob));
    }
}

} // namespace

BENCHMARK(elGamalBlock)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(gmpElGamalBlock)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(makeRecip1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(gmpRecip1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(load1024)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
