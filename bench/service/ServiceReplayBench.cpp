// The replay flood: one registration frame carrying a 31,000-byte text (255
// ElGamal blocks under a 1024-bit key), encrypted once and sent 200 times over
// 4 connections from 127.0.0.1, as a sender who pays for one encryption
// would. A connection the service closes is opened again and the frame sent
// on. Counters: the service's CPU per frame sent, the frames it answered, the
// rows it stored and the size its write-ahead log reached.
//
// The argument is the service's --registrations-per-minute, -1 for none given
// (its default). REGISTER_BENCH_SERVICE names another build of the program to
// measure (an earlier one, for a before-and-after, with -1 alone).

#include "RegistrationFrame.h"
#include "ServiceProcess.h"
#include "test-service/ElGamalKey.h"
#include "test-service/RegistrationStore.h"

#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int connections = 4;
constexpr int framesPerConnection = 50;

using Bytes = std::vector<std::uint8_t>;

int connectTo(const std::string& endpoint)
{
    const auto colon = endpoint.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(endpoint.substr(colon + 1))));
    inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &address.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends the frame and reads one whole reply frame; false when the service
// closed the connection instead.
bool replay(int fd, const Bytes& frame)
{
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(frame.size())) {
        return false;
    }
    std::uint8_t header[4];
    if (::recv(fd, header, sizeof header, MSG_WAITALL) != sizeof header) {
        return false;
    }
    const std::uint32_t length =
        header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    Bytes body(length - 4);
    return ::recv(fd, body.data(), body.size(), MSG_WAITALL) == static_cast<ssize_t>(body.size());
}

void replayedRegistration(benchmark::State& state)
{
    static int calls = 0;
    const std::string name = "replay-" + std::to_string(++calls);
    const std::string keyFile = scratchPath(name + ".key");
    const std::string database = scratchPath(name + ".db");
    const testservice::ElGamalKey key = testservice::ElGamalKey::fromGroup(1024);
    key.saveFile(keyFile);
    const Bytes frame = registrationFrame(key.derBlob(), std::string(31000, 'r'), Bytes(8, 0x5a));

    const char* other = std::getenv("REGISTER_BENCH_SERVICE");
    std::vector<std::string> arguments = {"--directory", "127.0.0.1:0", "--dbproxy",  "127.0.0.1:0",
                                          "--key-file",  keyFile,       "--database", database};
    if (state.range(0) >= 0) {
        arguments.insert(arguments.end(),
                         {"--registrations-per-minute", std::to_string(state.range(0))});
    }
    const ServiceProcess service(other != nullptr ? other : REGISTER_TEST_SERVICE_FILE, arguments);
    std::atomic<int> answered{0};
    std::uintmax_t walBytes = 0;
    const auto cpuBefore = service.cpuTime();
    for (auto _ : state) {
        std::vector<std::thread> senders;
        for (int i = 0; i < connections; ++i) {
            senders.emplace_back([&] {
                int fd = -1;
                for (int sent = 0; sent < framesPerConnection; ++sent) {
                    if (fd < 0) {
                        fd = connectTo(service.dbproxy());
                    }
                    if (fd >= 0 && replay(fd, frame)) {
                        ++answered;
                    } else if (fd >= 0) {
                        ::close(fd);
                        fd = -1;
                    }
                }
                if (fd >= 0) {
                    ::close(fd);
                }
            });
        }
        for (std::thread& sender : senders) {
            sender.join();
        }
        std::error_code missing;
        walBytes = std::filesystem::file_size(database + "-wal", missing);
    }
    const auto cpuUsed = service.cpuTime() - cpuBefore;
    std::size_t rows = 0;
    testservice::RegistrationStore(database, testservice::RegistrationStore::Access::readOnly)
        .forEach([&](const testservice::StoredRegistration&) { ++rows; });
    const double frames = connections * framesPerConnection;
    state.counters["service_cpu_us_per_frame"] =
        static_cast<double>(cpuUsed.count()) / 1000.0 / frames;
    state.counters["answered"] = answered.load();
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["wal_kib"] =
        static_cast<double>(walBytes == static_cast<std::uintmax_t>(-1) ? 0 : walBytes / 1024);
}

} // namespace

BENCHMARK(replayedRegistration)
    ->Name("serviceReplay/200frames")
    ->ArgName("per_minute")
    ->Arg(-1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
