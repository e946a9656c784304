#include "crypt/DerReader.h"

#include <algorithm>
#include <utility>

namespace LumenCryptMini {

namespace {

constexpr std::uint8_t sequenceTag = 0x30;
constexpr std::uint8_t integerTag = 0x02;
constexpr std::uint8_t longFormFlag = 0x80;

} // namespace

DerReader::DerReader(ByteString blob) : data(std::move(blob)) {}

std::uint8_t DerReader::readByte()
{
    if (!okFlag || position >= data.size()) {
        okFlag = false;
        return 0;
    }
    return data[position++];
}

bool DerReader::fail()
{
    okFlag = false;
    return false;
}

void DerReader::skipSequenceHeader()
{
    // A blob without the SEQUENCE tag still loses its first byte.
    if (readByte() != sequenceTag || remaining() == 0) {
        return;
    }
    const std::uint8_t first = data[position++];
    if (first < longFormFlag) {
        return;
    }
    if (first == longFormFlag) {
        position += std::min<std::size_t>(1, remaining());
        return;
    }
    std::size_t left = first & 0x7Fu;
    if (remaining() < left) {
        return;
    }
    while (left > 1 && data[position] == 0x00) {
        ++position;
        --left;
    }
    // Of three or more remaining length bytes only the first goes; the rest
    // meet the INTEGER reader, so such a header loads only by accident of
    // its values.
    position += left <= 2 ? left : 1;
}

bool DerReader::readInteger(ByteString& magnitude)
{
    magnitude.clear();
    if (readByte() != integerTag) {
        return fail();
    }
    std::size_t length = readByte();
    if (length >= longFormFlag) {
        // 0x80, indefinite in DER, is read like 0x81. Longer forms are
        // refused, so no INTEGER exceeds 65,535 bytes.
        if (length > 0x82) {
            return fail();
        }
        const int count = length == 0x82 ? 2 : 1;
        length = 0;
        for (int i = 0; i < count; ++i) {
            length = length << 8 | readByte();
        }
    }
    // Even an empty INTEGER needs something after it.
    if (!okFlag || remaining() == 0) {
        return fail();
    }
    const std::size_t available = std::min(length, remaining());
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(position);
    const auto end = begin + static_cast<std::ptrdiff_t>(available);
    magnitude.assign(std::find_if(begin, end, [](std::uint8_t byte) { return byte != 0; }), end);
    position += available;
    if (available < length) {
        if (!magnitude.empty()) {
            magnitude.resize(magnitude.size() + (length - available), 0x00);
        }
        return fail();
    }
    return true;
}

} // namespace LumenCryptMini
