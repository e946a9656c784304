#include "TestBytes.h"
#include "common/ArithmeticException.h"
#include "crypt/DerReader.h"
#include "crypt/ElGamalPublicKey.h"
#include "crypt/ElGamalTestKey.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace ElGamalTesting;
using LumenCryptMini::DerReader;
using LumenCryptMini::ElGamalPublicKey;

namespace {

std::string hexOf(const ByteString& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

struct ReaderCase {
    const char* name;
    const char* blob;
    // The magnitude each read leaves, in order; the first `good` reads succeed.
    std::vector<const char*> integers;
    std::size_t good;
};

const ReaderCase readerCases[] = {
    {"short sequence length", "30 0a 02 01 05 02 01 06", {"05", "06"}, 2},
    {"0x80 takes one more byte", "30 80 ff 02 01 05", {"05"}, 1},
    {"30 81 xx", "30 81 ff 02 01 05", {"05"}, 1},
    {"30 82 xx xx", "30 82 ff ff 02 01 05", {"05"}, 1},
    {"30 83 00 xx xx", "30 83 00 ff ff 02 01 05", {"05"}, 1},
    {"leading zero length bytes", "30 85 00 00 00 ff ff 02 01 05", {"05"}, 1},
    {"three length bytes left: one goes", "30 84 00 01 02 03 aa bb cc", {"aabbcc"}, 1},
    {"length bytes beyond the blob: none go", "30 85 02 01 05", {"05"}, 1},
    {"no 0x30 loses the first byte", "31 02 01 05", {"05"}, 1},
    {"a bare INTEGER loses its tag", "02 02 01 05", {"05"}, 1},
    {"wrong tag", "30 00 04 01 05 02 01 06", {"", ""}, 0},
    {"02 00 before more bytes", "30 00 02 00 02 01 05", {"", "05"}, 2},
    {"02 00 at the end", "30 00 02 01 05 02 00", {"05", ""}, 1},
    {"leading zeros", "30 00 02 04 00 00 01 02", {"0102"}, 1},
    {"no sign bit", "30 00 02 01 ff", {"ff"}, 1},
    {"0x81 length", "30 00 02 81 02 01 02", {"0102"}, 1},
    {"0x80 read as 0x81", "30 00 02 80 02 01 02", {"0102"}, 1},
    {"0x82 length", "30 00 02 82 00 02 01 02", {"0102"}, 1},
    {"0x83 length", "30 00 02 83 00 00 02 01 02", {""}, 0},
    {"cut-off content keeps what was read", "30 00 02 04 01 02", {"01020000", ""}, 0},
    {"cut-off zeros", "30 00 02 04 00 00", {""}, 0},
    {"cut-off length bytes", "30 00 02 82 01", {""}, 0},
    {"no byte after a zero length", "30 00 02 81 00", {""}, 0},
    {"no length byte", "30 00 02", {""}, 0},
    {"empty blob", "", {""}, 0},
};

} // namespace

TEST(ElGamalKeyBlob, DerReaderFollowsEverySequenceAndIntegerRule)
{
    for (const ReaderCase& c : readerCases) {
        SCOPED_TRACE(c.name);
        DerReader reader(fromHex(c.blob));
        reader.skipSequenceHeader();
        ByteString magnitude;
        for (std::size_t i = 0; i < c.integers.size(); ++i) {
            EXPECT_EQ(reader.readInteger(magnitude), i < c.good) << "read " << i;
            EXPECT_EQ(hexOf(magnitude), c.integers[i]) << "read " << i;
        }
        EXPECT_EQ(reader.ok(), c.good == c.integers.size());
    }
}

// A well-formed key under any header, padded or followed by trailing bytes,
// must be the same key: with the same pool seed it gives the same ciphertext.
TEST(ElGamalKeyBlob, LoadIsLaxAndStrictWhereTheFormatSays)
{
    const TestKey key = primeKey(64, 7);
    const ByteString p = derInteger(key.p), q = derInteger(key.q), g = derInteger(key.g);
    const ByteString body = keyIntegers(key);
    const ByteString seed = fromHex("5eed");
    const ByteString plaintext = fromHex("0102030405060708090a0b");

    ElGamalPublicKey reference(seed);
    ASSERT_TRUE(reference.load(keyBlob(key)));
    ByteString expected;
    ASSERT_TRUE(reference.encrypt(plaintext, expected));

    ByteString padded;
    for (const mpz_class* part : {&key.p, &key.q, &key.g, &key.y}) {
        ByteString integer = derInteger(*part);
        integer.insert(integer.begin() + 2, 3, 0x00);
        integer[1] = static_cast<std::uint8_t>(integer[1] + 3);
        padded = concat(padded, integer);
    }
    // The same residues: load reduces g and y once, and each block must come
    // out as it would from the reduced key.
    const ByteString unreduced = concat(derInteger(key.g + key.p * ((mpz_class(1) << 4000) / 3)),
                                        derInteger(key.y + key.p * ((mpz_class(1) << 3000) / 7)));
    struct {
        const char* name;
        ByteString blob;
        bool loads;
    } cases[] = {
        {"30 81 xx", concat(fromHex("30 81 01"), body), true},
        {"30 82 xx xx", concat(fromHex("30 82 ff 00"), body), true},
        {"30 83 00 xx xx", concat(fromHex("30 83 00 00 01"), body), true},
        {"wrong short length", concat(fromHex("30 01"), body), true},
        {"no sequence tag", concat(fromHex("31"), body), true},
        {"leading zeros", concat(fromHex("30 00"), padded), true},
        {"trailing bytes", concat(keyBlob(key), fromHex("ff ff 02")), true},
        {"g and y plus multiples of p", concat(fromHex("30 00"), concat(concat(p, q), unreduced)),
         true},
        {"three integers", concat(fromHex("30 00"), concat(concat(p, q), g)), false},
        {"q cut off", concat(fromHex("30 00"), concat(p, ByteString(q.begin(), q.end() - 2))),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ElGamalPublicKey loaded(seed);
        EXPECT_EQ(loaded.load(c.blob.data(), static_cast<std::int32_t>(c.blob.size())), c.loads);
        EXPECT_EQ(loaded.isValid(), c.loads);
        ByteString ciphertext{0xaa};
        EXPECT_EQ(loaded.encrypt(plaintext, ciphertext), c.loads);
        EXPECT_EQ(ciphertext, c.loads ? expected : ByteString{0xaa});
    }
}

TEST(ElGamalKeyBlob, ReloadWithABadBlobLeavesTheKeyInvalid)
{
    const ByteString good = keyBlob(primeKey(64, 3));
    ElGamalPublicKey key;
    for (const ByteString& bad :
         {ByteString(good.begin(), good.end() - 1), ByteString{}, fromHex("30 00 02 83")}) {
        ASSERT_TRUE(key.load(good));
        EXPECT_FALSE(key.load(bad));
        EXPECT_FALSE(key.isValid());
        ByteString out{0x01, 0x02};
        EXPECT_FALSE(key.encrypt(fromHex("00"), out));
        EXPECT_EQ(out, (ByteString{0x01, 0x02}));
    }
    EXPECT_FALSE(key.load(nullptr, 5));
    EXPECT_FALSE(key.load(good.data(), -1));
}

// Only moduli of whole bytes, from 4 to 258 of them, serve the block format.
TEST(ElGamalKeyBlob, LoadRefusesModulusSizesTheFormatCannotServe)
{
    const struct {
        int bits;
        bool loads;
    } cases[] = {{8, false},   {24, false},   {31, false},   {32, true},
                 {33, false},  {1020, false}, {1023, false}, {1024, true},
                 {2064, true}, {2065, false}, {2072, false}, {4096, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        TestKey key{mpz_class(1) << (c.bits - 1), 1, 2, 3, 0};
        key.p += 1;
        ElGamalPublicKey loaded;
        EXPECT_EQ(loaded.load(keyBlob(key)), c.loads);
        EXPECT_EQ(loaded.isValid(), c.loads);
    }
    ElGamalPublicKey zero;
    ASSERT_TRUE(zero.load(keyBlob(primeKey(64, 5))));
    try {
        zero.load(keyBlob(TestKey{0, 1, 2, 3, 0}));
        ADD_FAILURE() << "a zero modulus loaded without an exception";
    } catch (const LumenCryptMini::ArithmeticException& e) {
        EXPECT_STREQ(e.what(), "div: Divide by zero");
    }
    EXPECT_FALSE(zero.isValid());
}
