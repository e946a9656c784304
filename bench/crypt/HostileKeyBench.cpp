// A whole registration against a DBProxy whose key blob carries g + i*p and
// y + j*p, numbers that fill the key reply, beside the same registration with
// the server's plain blob, and with the plain blob padded by ignored trailing
// bytes to the same size. Every block uses only the residues of g and y, so
// the unreduced blob should cost what the padded one does. Its CPU time is
// that of every thread, the service's included.

#include "DirectRegistration.h"
#include "robustness/UnreducedKey.h"
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"
#include "test-service/Wire.h"

#include <benchmark/benchmark.h>
#include <map>

namespace {

using testservice::Bytes;
using testservice::ElGamalKey;

const testservice::Endpoint loopback{"127.0.0.1", 0};

// The hostile-server tests' 32-bit key, and the 1024-bit published group.
const ElGamalKey& keyOfSize(int bits)
{
    static std::map<int, ElGamalKey> keys;
    auto found = keys.find(bits);
    if (found == keys.end()) {
        found =
            keys.emplace(bits, bits == 32
                                   ? ElGamalKey::fromParameters(testservice::parseHex("C029BCF7"),
                                                                testservice::parseHex("6014DE7B"),
                                                                Bytes{2}, Bytes{0x12, 0x34})
                                   : ElGamalKey::fromGroup(bits))
                .first;
    }
    return found->second;
}

enum class Blob { plain, padded, unreduced };

void registration(benchmark::State& state, Blob blob)
{
    const ElGamalKey& key = keyOfSize(static_cast<int>(state.range(0)));
    testservice::DBProxyBehaviour behaviour;
    if (blob == Blob::unreduced) {
        behaviour.keyBlob = testservice::unreducedKeyBlob(key);
    } else if (blob == Blob::padded) {
        behaviour.keyBlob = key.derBlob();
        behaviour.keyBlob->resize(testservice::unreducedKeyBlob(key).size(), 0x5A);
    }
    testservice::DBProxyServer dbproxy(loopback, key, behaviour);
    testservice::DirectoryServer directory(loopback, {{"DBProxy", dbproxy.port(), "127.0.0.1"}});
    const std::string endpoint = directory.endpointText();
    for (auto _ : state) {
        if (runRegistrationWith(endpoint.c_str(), endpoint.c_str(), {"a", 3, 1, 0, 1, 0}) !=
            REGISTER_RESULT_SUCCESS) {
            state.SkipWithError("registration failed");
            break;
        }
    }
}

void unreducedKey(benchmark::State& state)
{
    registration(state, Blob::unreduced);
}

void plainKey(benchmark::State& state)
{
    registration(state, Blob::plain);
}

void paddedKey(benchmark::State& state)
{
    registration(state, Blob::padded);
}

} // namespace

// Names are <operation>/<implementation>/<size>: scripts/bench.sh pairs ours
// (the unreduced blob) with the plain and the padded blob of the same size.
BENCHMARK(unreducedKey)
    ->Name("unreducedKey/ours")
    ->ArgName("bits")
    ->Arg(32)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(plainKey)
    ->Name("unreducedKey/plainKey")
    ->ArgName("bits")
    ->Arg(32)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(paddedKey)
    ->Name("unreducedKey/paddedKey")
    ->ArgName("bits")
    ->Arg(32)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
