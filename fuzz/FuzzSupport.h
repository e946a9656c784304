#pragma once

// What every harness shares: a check that stops the run with a report (so a
// wrong answer is a finding just like a crash), and the pieces that let a
// harness talk to the library over loopback.

#include "common/ByteString.h"
#include "net/SocketLibrary.h"

#include <cstddef>
#include <cstdint>
#include <string>

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : fuzzsupport::checkFailed(#condition, __FILE__, __LINE__))

namespace fuzzsupport {

[[noreturn]] void checkFailed(const char* condition, const char* file, int line);

// Starts the socket library for the rest of the process: harnesses run
// millions of inputs and the library must not be restarted between them.
inline void startSocketsOnce()
{
    static const bool started = (startSockets(), true);
    static_cast<void>(started);
}

// Generous enough for a loaded machine, short enough that a stalled
// exchange shows as a hang long before libFuzzer's own timeout.
inline constexpr std::uint32_t exchangeTimeoutMs = 10000;

// Reads the harness input front to back; past the end every read gives
// zero bytes, so any input is a valid program.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : at(data), left(size) {}

    std::uint8_t byte();
    std::uint16_t u16();
    std::uint32_t u32();
    // Up to count bytes, fewer at the end.
    ByteString bytes(std::size_t count);
    ByteString rest() { return bytes(left); }
    std::size_t remaining() const { return left; }

  private:
    const std::uint8_t* at;
    std::size_t left;
};

// Stops the run like FUZZ_CHECK, showing both texts, when they differ.
void checkSameText(const std::string& expected, const std::string& actual, const char* what);

} // namespace fuzzsupport
