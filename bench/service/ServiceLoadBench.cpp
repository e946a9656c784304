// register-test-service under load: 16 clients running the library at once
// against the service, at 1024 and 2048 bits. Each iteration is one round of
// 128 registrations of distinct texts; the rate is registrations per second
// of wall-clock time, and service_cpu_us the service processes' own CPU time
// (user and system) per registration, read from /proc, so that the service's
// share can be told from the clients' encryption in the same process as the
// benchmark. The store is SQLite, PostgreSQL (a server of the benchmark's
// own, its CPU time not counted) with one or two service processes sharing
// it, half the clients on each, or none, which shows what storing costs.

#include "ServiceProcess.h"
#include "ThrowawayPostgres.h"

#include <benchmark/benchmark.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int clients = 16;
constexpr std::uint64_t perRound = 128;

enum Store { none, sqlite, postgres };

void serviceUnderLoad(benchmark::State& state)
{
    const std::string bits = std::to_string(state.range(0));
    const auto store = static_cast<Store>(state.range(1));
    const auto processes = static_cast<int>(state.range(2));
    // Google Benchmark calls this more than once (to size the run, then for
    // each repetition): each call gets a database of its own.
    static int calls = 0;
    ++calls;
    std::string database;
    if (store == sqlite) {
        database = scratchPath("load-" + std::to_string(calls) + ".db");
    } else if (store == postgres) {
        static ThrowawayPostgres server;
        database = server.freshDatabase();
    }
    std::vector<std::unique_ptr<ServiceProcess>> services;
    std::vector<std::string> directories;
    for (int i = 0; i < processes; ++i) {
        // Every client connects from 127.0.0.1: the caps per address are
        // lifted.
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
        if (!database.empty()) {
            arguments.insert(arguments.end(), {"--database", database});
        }
        services.push_back(std::make_unique<ServiceProcess>(REGISTER_TEST_SERVICE_FILE, arguments));
        directories.push_back(services.back()->directory());
    }
    std::uint64_t texts = 0;
    std::uint64_t failed = 0;
    auto cpuTime = [&] {
        std::chrono::nanoseconds sum{0};
        for (const auto& service : services) {
            sum += service->cpuTime();
        }
        return sum;
    };
    const auto cpuBefore = cpuTime();
    for (auto _ : state) {
        failed += perRound - registerConcurrently(directories, clients, perRound, texts);
        texts += perRound;
    }
    const auto cpuUsed = cpuTime() - cpuBefore;
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
    ->ArgNames({"bits", "store", "processes"})
    ->Args({1024, sqlite, 1})
    ->Args({1024, none, 1})
    ->Args({1024, postgres, 1})
    ->Args({1024, postgres, 2})
    ->Args({2048, sqlite, 1})
    ->Args({2048, none, 1})
    ->Args({2048, postgres, 1})
    ->Args({2048, postgres, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
