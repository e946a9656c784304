// Where the time of one registration goes: the whole call against the
// loopback test service (directory lookup, key request, encryption, reply)
// beside the client's ElGamal work on the same inner block. Nothing but the
// public-key arithmetic should cost much, so the first should stay within
// about 1.5 times the second.

#include "crypt/ElGamalPublicKey.h"
#include "registration/RunRegistration.h"
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"
#include "test-service/ElGamalKey.h"

#include <benchmark/benchmark.h>

namespace {

using testservice::Bytes;

const testservice::Endpoint loopback{"127.0.0.1", 0};

// The inner block the client encrypts for the text "a", setting 3 and flags
// 1, 0, 1: key length, eight key bytes, record length, record.
const Bytes innerBlock = {0x08, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x16, 0x00,
                          0x05, 0x01, 0x02, 0x00, 0x61, 0x00, 0x02, 0x01, 0x00, 0x03, 0x03, 0x01,
                          0x00, 0x01, 0x04, 0x01, 0x00, 0x00, 0x05, 0x01, 0x00, 0x01};

void wholeRegistration(benchmark::State& state)
{
    testservice::DBProxyServer dbproxy(
        loopback, testservice::ElGamalKey::fromGroup(static_cast<int>(state.range(0))));
    testservice::DirectoryServer directory(loopback, {{"DBProxy", dbproxy.port(), "127.0.0.1"}});
    const std::string endpoint = directory.endpointText();
    for (auto _ : state) {
        const std::int32_t code =
            runRegistrationWith(endpoint.c_str(), endpoint.c_str(), {"a", 3, 1, 0, 1, 0});
        if (code != registrationSucceeded) {
            state.SkipWithError("registration failed");
            break;
        }
    }
}

// What every attempt pays for the public key: a fresh key with its own
// random pool, the blob loaded, the inner block encrypted.
void clientKeyLoadAndEncryption(benchmark::State& state)
{
    const Bytes blob =
        testservice::ElGamalKey::fromGroup(static_cast<int>(state.range(0))).derBlob();
    ByteString ciphertext;
    for (auto _ : state) {
        LumenCryptMini::ElGamalPublicKey key;
        if (!key.load(blob.data(), static_cast<std::int32_t>(blob.size())) ||
            !key.encrypt(innerBlock.data(), static_cast<std::int32_t>(innerBlock.size()),
                         ciphertext)) {
            state.SkipWithError("encryption failed");
            break;
        }
        benchmark::DoNotOptimize(ciphertext.data());
    }
}

// The encryption alone, with the key loaded once.
void clientEncryption(benchmark::State& state)
{
    const Bytes blob =
        testservice::ElGamalKey::fromGroup(static_cast<int>(state.range(0))).derBlob();
    LumenCryptMini::ElGamalPublicKey key;
    if (!key.load(blob.data(), static_cast<std::int32_t>(blob.size()))) {
        state.SkipWithError("key did not load");
        return;
    }
    ByteString ciphertext;
    for (auto _ : state) {
        if (!key.encrypt(innerBlock.data(), static_cast<std::int32_t>(innerBlock.size()),
                         ciphertext)) {
            state.SkipWithError("encryption failed");
            break;
        }
        benchmark::DoNotOptimize(ciphertext.data());
    }
}

} // namespace

BENCHMARK(wholeRegistration)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(clientKeyLoadAndEncryption)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(clientEncryption)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
