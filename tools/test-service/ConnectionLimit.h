// How many connections a process serves at once. A connection beyond the
// limit is closed as soon as it is accepted, so that a flood of clients costs
// the service one accept each rather than a thread each.
#pragma once

#include <cstddef>
#include <mutex>

namespace testservice {

inline constexpr std::size_t defaultMaxConnections = 256;

class ConnectionLimit {
  public:
    explicit ConnectionLimit(std::size_t maximum = defaultMaxConnections) : most(maximum) {}

    // False, and the refusal counted, when the limit is reached.
    bool tryTake()
    {
        std::lock_guard lock(mutex);
        if (open >= most) {
            ++refusals;
            return false;
        }
        ++open;
        return true;
    }
    void giveBack()
    {
        std::lock_guard lock(mutex);
        --open;
    }

    std::size_t maximum() const { return most; }
    std::size_t openCount() const
    {
        std::lock_guard lock(mutex);
        return open;
    }
    std::size_t refusedCount() const
    {
        std::lock_guard lock(mutex);
        return refusals;
    }

  private:
    const std::size_t most;
    mutable std::mutex mutex;
    std::size_t open = 0;
    std::size_t refusals = 0;
};

} // namespace testservice
