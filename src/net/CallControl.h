#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

// What can stop one registration call from outside its waits: a cancel flag
// that any thread may raise, and a deadline for the whole call on the tick
// clock. A TimedSocket given a control wakes at least every wakeSliceMs to
// look at it, so a cancel is seen within that slice.
class CallControl {
  public:
    static constexpr std::uint32_t wakeSliceMs = 20;
    static constexpr std::uint32_t noDeadline = std::numeric_limits<std::uint32_t>::max();

    // Starts the deadline's clock now; 0 means none.
    void startDeadline(std::uint32_t deadlineMs);

    // Safe from any thread.
    void cancel() noexcept { cancelRequested.store(true, std::memory_order_release); }
    bool cancelled() const noexcept { return cancelRequested.load(std::memory_order_acquire); }
    // Clears the flag and tells whether it was raised.
    bool takeCancel() noexcept { return cancelRequested.exchange(false); }

    bool expired() const { return deadlineLeft() == 0; }
    // Milliseconds to the deadline, noDeadline when there is none.
    std::uint32_t deadlineLeft() const;
    // The part of a step's timeout that the deadline leaves.
    std::uint32_t bound(std::uint32_t timeoutMs) const;

  private:
    std::atomic<bool> cancelRequested{false};
    std::uint32_t deadline = 0;
    std::uint32_t startTick = 0;
};
