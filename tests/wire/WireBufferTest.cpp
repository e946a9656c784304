#include "wire/WireBuffer.h"

#include "common/DataException.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes contents(const WireBuffer& buffer)
{
    return Bytes(buffer.data(), buffer.data() + buffer.size());
}

Bytes repeated(std::size_t count)
{
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return out;
}

TEST(WireBuffer, AppendsEncodeLittleEndianWithWrappingCounts)
{
    const Bytes big = repeated(65537);
    const std::u16string wideBig(65537, u'\x1234');
    struct Case {
        const char* name;
        std::function<void(WireBuffer&)> build;
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"u8", [](WireBuffer& b) { b.appendUInt8(0xAB); }, {0xAB}},
        {"u16", [](WireBuffer& b) { b.appendUInt16(0x1234); }, {0x34, 0x12}},
        {"u32", [](WireBuffer& b) { b.appendUInt32(0x06000002); }, {0x02, 0x00, 0x00, 0x06}},
        {"chained",
         [](WireBuffer& b) { b.appendUInt8(5).appendUInt16(2).appendUInt16(103); },
         {0x05, 0x02, 0x00, 0x67, 0x00}},
        {"raw bytes",
         [](WireBuffer& b) {
             const std::uint8_t raw[] = {0, 1, 0};
             b.appendBytes(raw, 3);
         },
         {0, 1, 0}},
        {"empty narrow", [](WireBuffer& b) { b.appendString(std::string_view{}); }, {0, 0}},
        {"empty wide", [](WireBuffer& b) { b.appendWString(u""); }, {0, 0}},
        {"wide AB", [](WireBuffer& b) { b.appendWString(u"AB"); }, {2, 0, 0x41, 0, 0x42, 0}},
        {"embedded zero",
         [](WireBuffer& b) { b.appendString(std::string_view("A\0B", 3)); },
         {3, 0, 0x41, 0x00, 0x42}},
        {"narrow 65536 wraps to nothing",
         [&](WireBuffer& b) { b.appendString(std::span(big.data(), 65536)); },
         {0, 0}},
        {"narrow 65537 keeps one byte",
         [&](WireBuffer& b) { b.appendString(big); },
         {1, 0, big[0]}},
        {"wide 65536 wraps to nothing",
         [&](WireBuffer& b) { b.appendWString(std::u16string_view(wideBig).substr(0, 65536)); },
         {0, 0}},
        {"wide 65537 keeps one unit",
         [&](WireBuffer& b) { b.appendWString(wideBig); },
         {1, 0, 0x34, 0x12}},
    };
    for (const Case& c : cases) {
        WireBuffer buffer;
        c.build(buffer);
        EXPECT_EQ(contents(buffer), c.expected) << c.name;
        EXPECT_EQ(buffer.readPosition(), 0u) << c.name;
    }
}

TEST(WireBuffer, ReadsDecodeWhatAppendsWrote)
{
    WireBuffer built;
    built.appendUInt8(0xFE).appendUInt16(0xBEEF).appendUInt32(0xDEADBEEF);
    built.appendString(std::string_view("A\0B", 3)).appendWString(u"\u00e9x");
    WireBuffer parsed(built.data(), built.size());
    EXPECT_EQ(parsed.readUInt8(), 0xFE);
    EXPECT_EQ(parsed.readUInt16(), 0xBEEF);
    EXPECT_EQ(parsed.readUInt32(), 0xDEADBEEFu);
    ByteString narrow;
    parsed.readString(narrow);
    EXPECT_EQ(narrow, (ByteString{0x41, 0x00, 0x42}));
    std::u16string wide = u"stale";
    parsed.readWString(wide);
    EXPECT_EQ(wide, u"\u00e9x");
    EXPECT_EQ(parsed.remaining(), 0u);
}

TEST(WireBuffer, EveryReadRefusesToRunPastTheEnd)
{
    struct Case {
        const char* name;
        std::size_t length;
        std::size_t consumedFirst;
        std::function<void(WireBuffer&)> read;
        std::size_t positionAfterThrow;
    };
    const std::vector<Case> cases = {
        {"u8 at end", 3, 3, [](WireBuffer& b) { b.readUInt8(); }, 3},
        {"u16 with one left", 3, 2, [](WireBuffer& b) { b.readUInt16(); }, 2},
        {"u32 with three left", 3, 0, [](WireBuffer& b) { b.readUInt32(); }, 0},
        {"bytes beyond", 3, 1, [](WireBuffer& b) { b.readBytes(3); }, 1},
        {"bytes huge count", 3, 1, [](WireBuffer& b) { b.readBytes(~std::size_t{0}); }, 1},
        {"string count alone short", 1, 0,
         [](WireBuffer& b) {
             ByteString s;
             b.readString(s);
         },
         0},
    };
    for (const Case& c : cases) {
        const Bytes source = repeated(c.length);
        WireBuffer buffer(source.data(), source.size());
        buffer.readBytes(c.consumedFirst);
        try {
            c.read(buffer);
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const DataException& e) {
            EXPECT_STREQ(e.what(), "Attempt to read past end of buffer.") << c.name;
        }
        EXPECT_EQ(buffer.readPosition(), c.positionAfterThrow) << c.name;
    }
}

TEST(WireBuffer, StringWhoseCountOverrunsLeavesOutEmptyAndCountConsumed)
{
    const Bytes narrowSource = {5, 0, 'a', 'b'};
    WireBuffer narrow(narrowSource.data(), narrowSource.size());
    ByteString text = {1, 2, 3};
    EXPECT_THROW(narrow.readString(text), DataException);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(narrow.readPosition(), 2u);
    EXPECT_EQ(narrow.readUInt16(), ('b' << 8) | 'a');

    const Bytes wideSource = {2, 0, 'a', 0, 'b'};
    WireBuffer wide(wideSource.data(), wideSource.size());
    std::u16string units = u"old";
    EXPECT_THROW(wide.readWString(units), DataException);
    EXPECT_TRUE(units.empty());
    EXPECT_EQ(wide.readPosition(), 2u);
}

TEST(WireBuffer, ZeroLengthReadsSucceedAnywhereAndPointAtThePosition)
{
    WireBuffer empty;
    EXPECT_NE(empty.data(), nullptr);
    EXPECT_EQ(empty.readBytes(0), empty.data());

    const Bytes source = {1, 2, 3};
    WireBuffer buffer(source.data(), source.size());
    for (std::size_t at = 0; at <= source.size(); ++at) {
        EXPECT_EQ(buffer.readBytes(0), buffer.data() + at);
        if (at < source.size()) {
            EXPECT_EQ(buffer.readUInt8(), source[at]);
        }
    }
    EXPECT_THROW(buffer.readUInt8(), DataException);
}

TEST(WireBuffer, ParserOwnsItsCopyOfTheSource)
{
    Bytes source = {0x11, 0x22, 0x33, 0x44};
    WireBuffer buffer(source.data(), source.size());
    source.assign(source.size(), 0);
    source.clear();
    source.shrink_to_fit();
    EXPECT_EQ(buffer.readUInt32(), 0x44332211u);
}

} // namespace
