// Little-endian field helpers for the service's own message handling.
#pragma once

#include "test-service/Server.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace testservice {

inline void append8(Bytes& out, std::uint8_t value)
{
    out.push_back(value);
}

inline void append16le(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void append32le(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

inline void appendBytes(Bytes& out, const Bytes& bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Thrown by FieldReader when a message ends before the field it reads.
class ShortMessage : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class FieldReader {
  public:
    explicit FieldReader(const Bytes& bytes, std::size_t start = 0) : data(bytes), pos(start) {}

    std::uint8_t read8() { return take(1)[0]; }
    std::uint16_t read16le()
    {
        const std::uint8_t* p = take(2);
        return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    }
    std::uint32_t read32le()
    {
        const std::uint8_t* p = take(4);
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
    Bytes readBytes(std::size_t count)
    {
        const std::uint8_t* p = take(count);
        return Bytes(p, p + count);
    }
    std::size_t remaining() const { return pos < data.size() ? data.size() - pos : 0; }
    std::size_t position() const { return pos; }

  private:
    const std::uint8_t* take(std::size_t count)
    {
        // A reader may start beyond the end (a header offset past a short
        // frame): nothing is left to read then.
        if (pos > data.size() || count > data.size() - pos) {
            throw ShortMessage("message ends at byte " + std::to_string(data.size()) +
                               " before a field of " + std::to_string(count) + " bytes at byte " +
                               std::to_string(pos));
        }
        const std::uint8_t* p = data.data() + pos;
        pos += count;
        return p;
    }

    const Bytes& data;
    std::size_t pos;
};

// "05 00 00 01 00"
std::string hexText(const Bytes& bytes);
// Accepts hex digits with optional spaces; throws std::invalid_argument.
Bytes parseHex(const std::string& text);
// Printable ASCII as is, every other byte as \xNN.
std::string quotedText(const Bytes& bytes);

} // namespace testservice
