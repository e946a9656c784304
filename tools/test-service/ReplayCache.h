// Registration frames answered lately, by their SHA-256, with the reply each
// got. A client encrypts every attempt afresh, under a fresh session key, so
// a frame that arrives again byte for byte is a replay: it is answered with
// the same reply, at the cost of a hash, and not decrypted or stored again.
#pragma once

#include "test-service/Server.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace testservice {

class ReplayCache {
  public:
    using Clock = std::chrono::steady_clock;

    // What the log and the counts say of a reply, beside its bytes.
    struct Reply {
        Bytes body;
        std::uint16_t databaseStatus = 0;
        Bytes result;
    };

    // Replies are kept for window and, beyond byteLimit bytes of them, the
    // oldest go first.
    explicit ReplayCache(std::chrono::milliseconds window = std::chrono::minutes(1),
                         std::size_t byteLimit = 16u << 20)
        : keptFor(window), mostBytes(byteLimit)
    {
    }

    using Digest = std::array<std::uint8_t, 32>;
    static Digest digestOf(const Bytes& frame);

    // The reply the frame got within the window, and how long ago.
    std::optional<std::pair<Reply, Clock::duration>> find(const Digest& frame,
                                                          Clock::time_point now = Clock::now());
    void remember(const Digest& frame, Reply reply, Clock::time_point now = Clock::now());

  private:
    struct Entry {
        Reply reply;
        Clock::time_point answered;
    };
    void forgetOld(Clock::time_point now);

    const std::chrono::milliseconds keptFor;
    const std::size_t mostBytes;
    std::mutex mutex;
    std::unordered_map<std::string, Entry> replies;
    std::deque<std::pair<Clock::time_point, std::string>> byAge;
    std::size_t bytes = 0;
};

} // namespace testservice
