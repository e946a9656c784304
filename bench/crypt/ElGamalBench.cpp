// One ElGamal block under our big numbers and the same steps under GMP, at
// every 128 bits from 512 to 2048, plus the per-key costs (the reciprocal and
// a whole load) that every attempt pays.

#include "GmpElGamal.h"
#include "crypt/ElGamalPublicKey.h"
#include "crypt/ElGamalTestKey.h"

#include <benchmark/benchmark.h>
#include <map>
#include <utility>

using namespace ElGamalTesting;
using LumenCryptMini::BigInt;
using LumenCryptMini::ElGamalPublicKey;

namespace {

// The published groups where there is one, else a prime of exactly that
// size. Kept across runs: the benchmark functions run once per repetition,
// and finding a 2048-bit prime costs more than the measurement.
const TestKey& keyOfSize(int bits)
{
    static std::map<int, TestKey> keys;
    auto found = keys.find(bits);
    if (found == keys.end()) {
        const bool published = bits == 1024 || bits == 1536 || bits == 2048;
        found = keys.emplace(bits, published ? modpKey(bits, 1) : primeKey(bits, 1)).first;
    }
    return found->second;
}

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
    if (!key.load(keyBlob(keyOfSize(bits)))) {
        state.SkipWithError("key did not load");
        return;
    }
    const BigInt m(fullBlock(bits));
    std::pair<BigInt, BigInt> pair;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.encryptBlock(m, pair));
    }
}

void gmpElGamalBlock(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    const TestKey& key = keyOfSize(bits);
    GmpElGamal gmp(key.p, key.g, key.y);
    const mpz_class m = fromBytes(fullBlock(bits));
    mpz_class a, b;
    for (auto _ : state) {
        gmp.encryptBlock(m, a, b);
        benchmark::DoNotOptimize(a.get_mpz_t());
        benchmark::DoNotOptimize(b.get_mpz_t());
    }
}

void makeRecip(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    const BigInt p(toBytes(keyOfSize(bits).p, static_cast<std::size_t>(bits / 8)));
    int recipBits = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.makeRecip(recipBits));
    }
}

void gmpRecip(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    const mpz_class p = keyOfSize(bits).p;
    const mpz_class power = mpz_class(1) << (2 * bits);
    mpz_class recip;
    for (auto _ : state) {
        mpz_tdiv_q(recip.get_mpz_t(), power.get_mpz_t(), p.get_mpz_t());
        benchmark::DoNotOptimize(recip.get_mpz_t());
    }
}

void keyLoad(benchmark::State& state)
{
    const ByteString blob = keyBlob(keyOfSize(static_cast<int>(state.range(0))));
    ElGamalPublicKey key(ByteString{0x5e, 0xed});
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.load(blob));
    }
}

} // namespace

// Names are <operation>/<implementation>/<size>: scripts/bench.sh pairs ours
// with the reference of the same operation and size.
BENCHMARK(elGamalBlock)
    ->Name("elGamalBlock/ours")
    ->ArgName("bits")
    ->DenseRange(512, 2048, 128)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(gmpElGamalBlock)
    ->Name("elGamalBlock/gmp")
    ->ArgName("bits")
    ->DenseRange(512, 2048, 128)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(makeRecip)->Name("makeRecip/ours")->ArgName("bits")->Arg(1024);
BENCHMARK(gmpRecip)->Name("makeRecip/gmp")->ArgName("bits")->Arg(1024);
BENCHMARK(keyLoad)->Name("keyLoad/ours")->ArgName("bits")->Arg(1024);

BENCHMARK_MAIN();
