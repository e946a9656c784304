// register-test-service under load: 16 clients running the library at once
// against one service process that stores every registration in SQLite, at
// 1024 and 2048 bits. Each iteration is one round of 128 registrations of
// distinct texts; the rate is registrations per second of wall-clock time,
// and service_cpu_us the service process's own CPU time (user and system)
// per registration, read from /proc, so that the service's share can be told
// from the clients' encryption in the same process as the benchmark. The
// same runs without a database show what storing costs.

#include "ServiceProcess.h"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace {

constexpr int clients = 16;
constexpr std::uint64_t perRound = 128;

void serviceUnderLoad(benchmark::State& state)
{
    const std::string bits = std::to_string(state.range(0));
    // Google Benchmark calls this more than once (to size the run, then for
    // each repetition): each call gets a database of its own.
    static int calls = 0;
    // Every client connects from 127.0.0.1: the caps per address are lifted.
    std::vector<std::string> arguments = {"--directory",
                                          "127.0.0.1:0",
                                          "--dbproxy",
                                          "127.0.0.1:0",
                                          "--key-bits",
                                          bits,
                                          "--max-connections-per-address",
                                          "256",
                                          "--registrations-per-minute",
                                          "0"};
    if (state.range(1) != 0) {
        arguments.insert(arguments.end(),
                         {"--database", scratchPath("load-" + std::to_string(++calls) + ".db")});
    }
    const ServiceProcess service(REGISTER_TEST_SERVICE_FILE, arguments);
    std::uint64_t texts = 0;
    std::uint64_t failed = 0;
    const auto cpuBefore = service.cpuTime();
    for (auto _ : state) {
        failed += perRound - registerConcurrently(service.directory(), clients, perRound, texts);
        texts += perRound;
    }
    const auto cpuUsed = service.cpuTime() - cpuBefore;
    if (failed != 0) {
        state.SkipWithError("registrations failed");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(texts));
    state.counters["service_cpu_us"] =
        static_cast<double>(cpuUsed.count()) / 1000.0 / static_cast<double>(texts);
}

} // namespace

BENCHMARK(serviceUnderLoad)
    ->Name("serviceLoad/16clients")
    ->ArgNames({"bits", "database"})
    ->ArgsProduct({{1024, 2048}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
