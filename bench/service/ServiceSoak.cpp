// Whether the service's memory stays flat: its resident set size after 1,000
// and after 20,000 registrations (16 clients through the library, a SQLite
// database, 1024-bit key). Not a test: bench/service/measure-service.sh runs
// it and the figures go to docs/performance.md.
//
//   service_soak [CHECKPOINT...]     (default 1000 20000)

#include "ServiceProcess.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::uint64_t> checkpoints;
    for (int i = 1; i < argc; ++i) {
        checkpoints.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    if (checkpoints.empty()) {
        checkpoints = {1000, 20000};
    }
    // Every client registers from 127.0.0.1: the rate per address is lifted.
    const ServiceProcess service(REGISTER_TEST_SERVICE_FILE,
                                 {"--directory", "127.0.0.1:0", "--dbproxy", "127.0.0.1:0",
                                  "--database", scratchPath("soak.db"),
                                  "--registrations-per-minute", "0"});
    std::printf("registrations  failed  service_rss_kib\n");
    std::printf("%13d  %6d  %15llu\n", 0, 0,
                static_cast<unsigned long long>(service.residentKiB()));
    std::uint64_t done = 0;
    std::uint64_t failed = 0;
    for (const std::uint64_t checkpoint : checkpoints) {
        if (checkpoint > done) {
            failed += (checkpoint - done) -
                      registerConcurrently(service.directory(), 16, checkpoint - done, done);
            done = checkpoint;
        }
        std::printf("%13llu  %6llu  %15llu\n", static_cast<unsigned long long>(done),
                    static_cast<unsigned long long>(failed),
                    static_cast<unsigned long long>(service.residentKiB()));
        std::fflush(stdout);
    }
    return failed == 0 ? 0 : 1;
}
