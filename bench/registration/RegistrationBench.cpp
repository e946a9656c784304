// Where the time of one registration goes, for texts of 1 to 4,000 bytes at
// 1024 and 2048 bits: the whole call against the loopback test service
// (directory lookup, key request, encryption, the server's decryption, reply)
// beside the client's ElGamal encryption of the same inner block, and that
// encryption done with GMP. Nothing but the public-key arithmetic should cost
// much, so the whole call should stay within about 1.5 times the encryption.
// Its CPU time is that of every thread, the service's included, so that the
// work can be told from time spent waiting for a busy machine's cores; the
// counter client_cpu is the calling thread's alone, the client's own work,
// which should stay within 1.2 times the encryption's. That encryption is
// measured in the same loop (counters encrypt_cpu and encrypt_wall), one
// after each registration on the same thread with the timer paused: a host
// whose speed drifts by a tenth from one second to the next then moves both
// figures alike instead of the ratio.

#include "DirectRegistration.h"
#include "GmpElGamal.h"
#include "crypt/ElGamalPublicKey.h"
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"
#include "test-service/ElGamalKey.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>
#include <map>
#include <string>

namespace {

using testservice::Bytes;

const testservice::Endpoint loopback{"127.0.0.1", 0};

// One key per size for the whole run, so that every benchmark of a size sees
// the same public key.
const testservice::ElGamalKey& keyOfSize(int bits)
{
    static std::map<int, testservice::ElGamalKey> keys;
    auto found = keys.find(bits);
    if (found == keys.end()) {
        found = keys.emplace(bits, testservice::ElGamalKey::fromGroup(bits)).first;
    }
    return found->second;
}

std::string textOfLength(std::int64_t length)
{
    std::string text;
    for (std::int64_t i = 0; i < length; ++i) {
        text.push_back(static_cast<char>('a' + i % 26));
    }
    return text;
}

void append16le(ByteString& out, std::size_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The inner block the client encrypts for the text with setting 3 and flags
// 1, 0, 1: key length, eight key bytes, record length, record (five tagged
// fields, the text with its terminating zero first).
ByteString innerBlock(const std::string& text)
{
    ByteString record{0x05, 0x01};
    append16le(record, text.size() + 1);
    record.insert(record.end(), text.begin(), text.end());
    record.push_back(0x00);
    record.insert(record.end(), {0x02, 0x01, 0x00, 0x03, 0x03, 0x01, 0x00, 0x01, 0x04, 0x01, 0x00,
                                 0x00, 0x05, 0x01, 0x00, 0x01});
    ByteString block{0x08, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    append16le(block, record.size());
    block.insert(block.end(), record.begin(), record.end());
    return block;
}

// CPU time of the calling thread (POSIX), in nanoseconds.
double threadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return 1e9 * static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec);
}

mpz_class toMpz(const Bytes& bytes)
{
    mpz_class value;
    mpz_import(value.get_mpz_t(), bytes.size(), 1, 1, 1, 0, bytes.data());
    return value;
}

// The client's encryption of a text's record under a key of the given size,
// the key loaded once as a client would load it from the key reply.
class RecordEncryption {
  public:
    RecordEncryption(int bits, std::int64_t textLength)
        : block(innerBlock(textOfLength(textLength)))
    {
        const Bytes blob = keyOfSize(bits).derBlob();
        loaded = key.load(blob.data(), static_cast<std::int32_t>(blob.size()));
    }

    bool run()
    {
        const bool done =
            loaded &&
            key.encrypt(block.data(), static_cast<std::int32_t>(block.size()), ciphertext);
        benchmark::DoNotOptimize(ciphertext.data());
        return done;
    }

  private:
    LumenCryptMini::ElGamalPublicKey key;
    ByteString block;
    ByteString ciphertext;
    bool loaded = false;
};

void wholeRegistration(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    testservice::DBProxyServer dbproxy(loopback, keyOfSize(bits));
    testservice::DirectoryServer directory(loopback, {{"DBProxy", dbproxy.port(), "127.0.0.1"}});
    const std::string endpoint = directory.endpointText();
    const std::string text = textOfLength(state.range(1));
    RecordEncryption encryption(bits, state.range(1));
    double clientCpu = 0;
    double encryptCpu = 0;
    double encryptWall = 0;
    for (auto _ : state) {
        const double before = threadCpuNanoseconds();
        const std::int32_t code =
            runRegistrationWith(endpoint.c_str(), endpoint.c_str(), {text.c_str(), 3, 1, 0, 1, 0});
        const double registered = threadCpuNanoseconds();
        clientCpu += registered - before;
        state.PauseTiming();
        const auto started = std::chrono::steady_clock::now();
        const bool encrypted = encryption.run();
        encryptWall +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - started)
                .count();
        encryptCpu += threadCpuNanoseconds() - registered;
        state.ResumeTiming();
        if (code != REGISTER_RESULT_SUCCESS || !encrypted) {
            state.SkipWithError(code != REGISTER_RESULT_SUCCESS ? "registration failed"
                                                                : "encryption failed");
            break;
        }
    }
    state.counters["client_cpu"] =
        benchmark::Counter(clientCpu, benchmark::Counter::kAvgIterations);
    state.counters["encrypt_cpu"] =
        benchmark::Counter(encryptCpu, benchmark::Counter::kAvgIterations);
    state.counters["encrypt_wall"] =
        benchmark::Counter(encryptWall, benchmark::Counter::kAvgIterations);
}

// The encryption alone.
void clientEncryption(benchmark::State& state)
{
    RecordEncryption encryption(static_cast<int>(state.range(0)), state.range(1));
    for (auto _ : state) {
        if (!encryption.run()) {
            state.SkipWithError("encryption failed");
            break;
        }
    }
}

void gmpEncryption(benchmark::State& state)
{
    const testservice::ElGamalKey& key = keyOfSize(static_cast<int>(state.range(0)));
    GmpElGamal gmp(toMpz(key.p()), toMpz(key.g()), toMpz(key.y()));
    const ByteString block = innerBlock(textOfLength(state.range(1)));
    ByteString ciphertext;
    for (auto _ : state) {
        gmp.encrypt(block, ciphertext);
        benchmark::DoNotOptimize(ciphertext.data());
    }
}

const std::vector<std::vector<std::int64_t>> sizes = {{1024, 2048},
                                                      {1, 100, 500, 1000, 2000, 4000}};

} // namespace

// Names are <operation>/<implementation>/<size>: scripts/bench.sh pairs ours
// with the reference of the same operation and size, and the whole
// registration with our encryption of the same record.
BENCHMARK(clientEncryption)
    ->Name("encryptRecord/ours")
    ->ArgNames({"bits", "text"})
    ->ArgsProduct(sizes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(gmpEncryption)
    ->Name("encryptRecord/gmp")
    ->ArgNames({"bits", "text"})
    ->ArgsProduct(sizes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(wholeRegistration)
    ->Name("registration/ours")
    ->ArgNames({"bits", "text"})
    ->ArgsProduct(sizes)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

BENCHMARK_MAIN();
