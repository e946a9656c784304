#pragma once

// Builds and parses the binary messages of the directory and DBProxy
// protocols: little-endian integers, raw byte runs and strings with a 16-bit
// count and no terminator. The buffer adds nothing of its own; framing is
// the socket's job.

#include "common/ByteString.h"
#include "common/SecureWipe.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class WireBuffer {
  public:
    // An empty buffer to build a message in.
    WireBuffer() = default;
    // A parser over a private copy of the received bytes; the source may be
    // released or reused at once.
    WireBuffer(const std::uint8_t* source, std::size_t length);

    WireBuffer& appendBytes(const std::uint8_t* source, std::size_t count);
    WireBuffer& appendUInt8(std::uint8_t value);
    WireBuffer& appendUInt16(std::uint16_t value);
    WireBuffer& appendUInt32(std::uint32_t value);
    // The count is the length modulo 65,536 and only that many bytes (units)
    // follow, so an over-long string is cut rather than corrupting the fields
    // after it. Callers that must not cut check the length first.
    WireBuffer& appendString(std::span<const std::uint8_t> text);
    WireBuffer& appendString(std::string_view text);
    WireBuffer& appendWString(std::u16string_view text);

    // Every read throws DataException("Attempt to read past end of buffer.")
    // when fewer bytes remain than it needs, and then leaves the read
    // position where it was. The pointer from readBytes points into the
    // buffer and stays valid while nothing is appended.
    const std::uint8_t* readBytes(std::size_t count);
    std::uint8_t readUInt8();
    std::uint16_t readUInt16();
    std::uint32_t readUInt32();
    // The count is consumed before the body is checked: a count that runs
    // past the end leaves out empty and the read position 2 bytes further on.
    void readString(ByteString& out);
    void readWString(std::u16string& out);

    // Never null, also when empty.
    const std::uint8_t* data() const;
    std::size_t size() const { return bytes.size(); }
    std::size_t readPosition() const { return position; }
    std::size_t remaining() const { return bytes.size() - position; }

  private:
    // A message may carry secrets (a session key, the user's text) and the
    // buffer cannot tell which: every block is wiped as it is outgrown or
    // released.
    std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> bytes;
    std::uint32_t position = 0;
};
