#include "wire/WireBuffer.h"

#include "common/ByteOrder.h"
#include "common/DataException.h"

namespace {

template <typename Bytes> void append16le(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

template <typename Bytes> void append32le(Bytes& out, std::uint32_t value)
{
    append16le(out, static_cast<std::uint16_t>(value));
    append16le(out, static_cast<std::uint16_t>(value >> 16));
}

// An empty run still needs a valid address to hand out.
constexpr std::uint8_t emptyRun[1] = {0};

} // namespace

WireBuffer::WireBuffer(const std::uint8_t* source, std::size_t length)
    : bytes(source, source + length)
{
}

WireBuffer& WireBuffer::appendBytes(const std::uint8_t* source, std::size_t count)
{
    bytes.insert(bytes.end(), source, source + count);
    return *this;
}

WireBuffer& WireBuffer::appendUInt8(std::uint8_t value)
{
    bytes.push_back(value);
    return *this;
}

WireBuffer& WireBuffer::appendUInt16(std::uint16_t value)
{
    append16le(bytes, value);
    return *this;
}

WireBuffer& WireBuffer::appendUInt32(std::uint32_t value)
{
    append32le(bytes, value);
    return *this;
}

WireBuffer& WireBuffer::appendString(std::span<const std::uint8_t> text)
{
    const auto count = static_cast<std::uint16_t>(text.size());
    append16le(bytes, count);
    return appendBytes(text.data(), count);
}

WireBuffer& WireBuffer::appendString(std::string_view text)
{
    return appendString(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

WireBuffer& WireBuffer::appendWString(std::u16string_view text)
{
    const auto count = static_cast<std::uint16_t>(text.size());
    append16le(bytes, count);
    for (std::size_t i = 0; i < count; ++i) {
        append16le(bytes, static_cast<std::uint16_t>(text[i]));
    }
    return *this;
}

const std::uint8_t* WireBuffer::readBytes(std::size_t count)
{
    if (bytes.size() - position < count) {
        throw DataException("Attempt to read past end of buffer.");
    }
    const std::uint8_t* at = data() + position;
    position += static_cast<std::uint32_t>(count);
    return at;
}

std::uint8_t WireBuffer::readUInt8()
{
    return *readBytes(1);
}

std::uint16_t WireBuffer::readUInt16()
{
    return load16le(readBytes(2));
}

std::uint32_t WireBuffer::readUInt32()
{
    return load32le(readBytes(4));
}

void WireBuffer::readString(ByteString& out)
{
    const std::uint16_t count = readUInt16();
    out.clear();
    const std::uint8_t* at = readBytes(count);
    out.assign(at, at + count);
}

void WireBuffer::readWString(std::u16string& out)
{
    const std::uint16_t count = readUInt16();
    out.clear();
    const std::uint8_t* at = readBytes(std::size_t{2} * count);
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<char16_t>(load16le(at + 2 * i)));
    }
}

const std::uint8_t* WireBuffer::data() const
{
    return bytes.empty() ? emptyRun : bytes.data();
}
