#include "crypt/MD5.h"
#include "crypt/RandomPool.h"
#include "crypt/SymmetricKey.h"

#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>
#include <openssl/md5.h>
#include <openssl/rand.h>

using LumenCryptMini::RandomPool;
using LumenCryptMini::SymmetricKey;

namespace {

ByteString pattern(std::size_t length)
{
    ByteString bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    return bytes;
}

const ByteString benchKey = pattern(8);

// 24 bytes is one output block of the pool: a 16-byte seed and an 8-byte counter.
void MD5_Ours(benchmark::State& state)
{
    const ByteString message = pattern(static_cast<std::size_t>(state.range(0)));
    LumenCryptMini::MD5 md5;
    std::uint8_t digest[16];
    for (auto _ : state) {
        md5.update(message.data(), message.size());
        md5.finish(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void MD5_OpenSSL(benchmark::State& state)
{
    const ByteString message = pattern(static_cast<std::size_t>(state.range(0)));
    std::uint8_t digest[16];
    for (auto _ : state) {
        ::MD5(message.data(), message.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void RandomPool_Construct(benchmark::State& state)
{
    for (auto _ : state) {
        RandomPool pool;
        benchmark::DoNotOptimize(&pool);
    }
}

void RandomPool_Fill(benchmark::State& state)
{
    RandomPool pool(benchKey);
    ByteString buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        pool.fill(buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
}

void RAND_bytes_OpenSSL(benchmark::State& state)
{
    ByteString buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        RAND_bytes(buffer.data(), static_cast<int>(buffer.size()));
        benchmark::DoNotOptimize(buffer.data());
    }
}

void SetKey_Ours(benchmark::State& state)
{
    const ByteString keyBytes = pattern(static_cast<std::size_t>(state.range(0)));
    SymmetricKey key(0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.setKey(keyBytes));
    }
}

void SetKey_OpenSSL(benchmark::State& state)
{
    const ByteString keyBytes = pattern(static_cast<std::size_t>(state.range(0)));
    BF_KEY schedule;
    for (auto _ : state) {
        BF_set_key(&schedule, static_cast<int>(keyBytes.size()), keyBytes.data());
        benchmark::DoNotOptimize(&schedule);
    }
}

// A well-framed reply of the given size: prefix, message, 4 filler bytes.
ByteString framedCiphertext(std::size_t size)
{
    ByteString plaintext = pattern(size);
    const auto messageLength = static_cast<std::uint32_t>(size - 8);
    for (int i = 0; i < 4; ++i) {
        plaintext[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(messageLength >> (8 * i));
    }
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(benchKey.size()), benchKey.data());
    std::uint8_t iv[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    ByteString ciphertext(size);
    BF_cbc_encrypt(plaintext.data(), ciphertext.data(), static_cast<long>(size), &schedule, iv,
                   BF_ENCRYPT);
    return ciphertext;
}

void CbcDecrypt_Ours(benchmark::State& state)
{
    const ByteString ciphertext = framedCiphertext(static_cast<std::size_t>(state.range(0)));
    SymmetricKey key(0);
    key.setKey(benchKey);
    ByteString plaintext;
    for (auto _ : state) {
        if (!key.decrypt(ciphertext.data(), static_cast<std::int32_t>(ciphertext.size()),
                         plaintext)) {
            state.SkipWithError("reply refused");
            break;
        }
        benchmark::DoNotOptimize(plaintext.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * ciphertext.size()));
}

void CbcDecrypt_OpenSSL(benchmark::State& state)
{
    const ByteString ciphertext = framedCiphertext(static_cast<std::size_t>(state.range(0)));
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(benchKey.size()), benchKey.data());
    ByteString plaintext(ciphertext.size());
    for (auto _ : state) {
        std::uint8_t iv[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        BF_cbc_encrypt(ciphertext.data(), plaintext.data(), static_cast<long>(ciphertext.size()),
                       &schedule, iv, BF_DECRYPT);
        benchmark::DoNotOptimize(plaintext.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * ciphertext.size()));
}

} // namespace

// Names are <operation>/<implementation>/<size>: scripts/bench.sh pairs ours
// with the reference of the same operation and size.
BENCHMARK(MD5_Ours)->Name("MD5/ours")->ArgName("bytes")->Arg(24)->Arg(64 * 1024);
BENCHMARK(MD5_OpenSSL)->Name("MD5/openssl")->ArgName("bytes")->Arg(24)->Arg(64 * 1024);
BENCHMARK(RandomPool_Construct)->Name("poolConstruct/ours");
BENCHMARK(RandomPool_Fill)->Name("poolFill/ours")->ArgName("bytes")->Arg(8)->Arg(16);
BENCHMARK(RAND_bytes_OpenSSL)->Name("poolFill/openssl")->ArgName("bytes")->Arg(8)->Arg(16);
BENCHMARK(SetKey_Ours)->Name("setKey/ours")->ArgName("key")->Arg(8);
BENCHMARK(SetKey_OpenSSL)->Name("setKey/openssl")->ArgName("key")->Arg(8);
BENCHMARK(CbcDecrypt_Ours)
    ->Name("cbcDecrypt/ours")
    ->ArgName("bytes")
    ->Arg(64)
    ->Arg(1024)
    ->Arg(64 * 1024);
BENCHMARK(CbcDecrypt_OpenSSL)
    ->Name("cbcDecrypt/openssl")
    ->ArgName("bytes")
    ->Arg(64)
    ->Arg(1024)
    ->Arg(64 * 1024);

BENCHMARK_MAIN();
