// WireBuffer reads driven by the input. The first byte says how many of the
// following bytes are the program; the rest is the message the program reads.
// Each program byte picks a read (low 3 bits) and, for readBytes, a count.
// Every result and every refusal is compared with a plain reading of the
// message, and what was read is written back with the append operations,
// which must give the consumed bytes again.

#include "FuzzSupport.h"
#include "common/DataException.h"
#include "wire/WireBuffer.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

struct Model {
    const ByteString& bytes;
    std::size_t at = 0;

    bool has(std::size_t count) const { return bytes.size() - at >= count; }
    std::uint32_t little(std::size_t count) const
    {
        std::uint32_t value = 0;
        for (std::size_t i = count; i-- > 0;) {
            value = value << 8 | bytes[at + i];
        }
        return value;
    }
};

// Runs one read on both; true when the buffer refused it, as it must exactly
// when the model runs short.
template <typename Read> bool refused(Read&& read)
{
    try {
        read();
        return false;
    } catch (const DataException& error) {
        FUZZ_CHECK(std::string(error.what()) == "Attempt to read past end of buffer.");
        return true;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t programLength = std::min<std::size_t>(data[0], size - 1);
    const std::uint8_t* program = data + 1;
    const ByteString message(data + 1 + programLength, data + size);

    WireBuffer buffer(message.data(), message.size());
    FUZZ_CHECK(buffer.size() == message.size());
    Model model{message};
    WireBuffer echo;

    for (std::size_t step = 0; step < programLength; ++step) {
        const unsigned op = program[step] & 7u;
        const std::size_t before = buffer.readPosition();
        FUZZ_CHECK(before == model.at);
        bool wasRefused = false;
        switch (op) {
        case 0:
        case 1:
        case 2: {
            const std::size_t width = std::size_t{1} << op;
            std::uint32_t value = 0;
            wasRefused = refused([&] {
                value = op == 0   ? buffer.readUInt8()
                        : op == 1 ? buffer.readUInt16()
                                  : buffer.readUInt32();
            });
            FUZZ_CHECK(wasRefused == !model.has(width));
            if (!wasRefused) {
                FUZZ_CHECK(value == model.little(width));
                if (op == 0) {
                    echo.appendUInt8(static_cast<std::uint8_t>(value));
                } else if (op == 1) {
                    echo.appendUInt16(static_cast<std::uint16_t>(value));
                } else {
                    echo.appendUInt32(value);
                }
                model.at += width;
            }
            break;
        }
        case 3:
        case 4: {
            // Counts near the end and far past it, zero included.
            const std::size_t count =
                op == 3 ? program[step] >> 3
                        : model.bytes.size() - model.at + (program[step] >> 3) - 16;
            const std::uint8_t* at = nullptr;
            wasRefused = refused([&] { at = buffer.readBytes(count); });
            FUZZ_CHECK(wasRefused == !model.has(count));
            if (!wasRefused) {
                FUZZ_CHECK(at == buffer.data() + model.at);
                FUZZ_CHECK(std::equal(at, at + count,
                                      message.begin() + static_cast<std::ptrdiff_t>(model.at)));
                echo.appendBytes(at, count);
                model.at += count;
            }
            break;
        }
        case 5: {
            ByteString text = {0x55};
            wasRefused = refused([&] { buffer.readString(text); });
            if (!model.has(2)) {
                FUZZ_CHECK(wasRefused && text == ByteString{0x55});
                break;
            }
            const std::size_t count = model.little(2);
            FUZZ_CHECK(wasRefused == !model.has(2 + count));
            model.at += 2;
            if (wasRefused) {
                // The count is consumed before the body is found missing.
                FUZZ_CHECK(text.empty());
                echo.appendUInt16(static_cast<std::uint16_t>(count));
                wasRefused = false;
                break;
            }
            FUZZ_CHECK(std::equal(text.begin(), text.end(),
                                  message.begin() + static_cast<std::ptrdiff_t>(model.at)));
            FUZZ_CHECK(text.size() == count);
            echo.appendString(text);
            model.at += count;
            break;
        }
        default: {
            std::u16string text = u"x";
            wasRefused = refused([&] { buffer.readWString(text); });
            if (!model.has(2)) {
                FUZZ_CHECK(wasRefused && text == u"x");
                break;
            }
            const std::size_t units = model.little(2);
            FUZZ_CHECK(wasRefused == !model.has(2 + 2 * units));
            model.at += 2;
            if (wasRefused) {
                FUZZ_CHECK(text.empty());
                echo.appendUInt16(static_cast<std::uint16_t>(units));
                wasRefused = false;
                break;
            }
            FUZZ_CHECK(text.size() == units);
            for (std::size_t i = 0; i < units; ++i, model.at += 2) {
                FUZZ_CHECK(text[i] == model.little(2));
            }
            echo.appendWString(text);
            break;
        }
        }
        if (wasRefused) {
            FUZZ_CHECK(buffer.readPosition() == before);
        }
        FUZZ_CHECK(buffer.readPosition() == model.at);
        FUZZ_CHECK(buffer.remaining() == message.size() - model.at);
    }
    FUZZ_CHECK(echo.size() == model.at);
    FUZZ_CHECK(std::equal(echo.data(), echo.data() + echo.size(), message.begin()));
    return 0;
}
