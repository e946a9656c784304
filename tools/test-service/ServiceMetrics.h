// What the service has done since it started, as its operator's monitoring
// reads it: registrations by outcome and how long the store took to commit
// them, beside the connection budgets' own counts.
#pragma once

#include "test-service/ConnectionLimit.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace testservice {

class ServiceMetrics {
  public:
    enum class Outcome {
        accepted,     // database status 0, a new registration
        duplicate,    // the duplicate status of a text accepted before
        retry,        // the answer of an accepted registration, again
        refused,      // any other database status the service was set to give
        oversize,     // a result that cannot fit the reply
        storeFailure, // not written in time, or not at all: no reply
        replay,       // a frame answered before, answered again undecrypted
        overRate,     // beyond the address's registrations a minute: no reply
    };
    static constexpr std::size_t outcomeCount = 8;

    ServiceMetrics();

    void count(Outcome outcome);
    std::uint64_t countOf(Outcome outcome) const;
    // One registration's write, lock wait included.
    void observeCommit(std::chrono::steady_clock::duration took);

    // Prometheus' text format: these counts, each named budget's connections
    // accepted, refused by cause and open, and the process's start time.
    std::string
    exposition(const std::vector<std::pair<std::string, const ConnectionLimit*>>& budgets) const;

  private:
    std::array<std::atomic<std::uint64_t>, outcomeCount> outcomes{};
    mutable std::mutex commitMutex;
    std::vector<std::uint64_t> commitBuckets; // cumulative counts are built when read
    double commitSeconds = 0;
    std::uint64_t commits = 0;
    const double startedAt; // seconds since 1970
};

} // namespace testservice
