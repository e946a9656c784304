// How many registration messages one client address may have answered a
// minute. Each costs the service an ElGamal decryption of up to 255 blocks
// and a store write, while its sender may replay one frame at no cost of its
// own; the count is taken before anything is decrypted.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace testservice {

inline constexpr std::size_t defaultRegistrationsPerMinute = 60;

class RegistrationRate {
  public:
    using Clock = std::chrono::steady_clock;

    explicit RegistrationRate(std::size_t perMinute) : most(perMinute) {}

    // Counts a registration message from the address; false, and a refusal
    // counted, when the address has had its perMinute in the minute before.
    bool admit(const std::string& address, Clock::time_point now = Clock::now());

    std::size_t perMinute() const { return most; }
    std::size_t refusedCount() const;

  private:
    // Addresses with nothing in the last minute, so that many clients coming
    // once each do not grow the table for ever.
    void forgetQuietAddresses(Clock::time_point now);

    const std::size_t most;
    mutable std::mutex mutex;
    std::unordered_map<std::string, std::deque<Clock::time_point>> admitted;
    Clock::time_point lastSweep{};
    std::size_t refused = 0;
};

} // namespace testservice
