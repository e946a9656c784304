#include "crypt/SymmetricKey.h"

#include "KnownAnswers.h"
#include "crypt/RandomPool.h"

#include <gtest/gtest.h>

using LumenCryptMini::RandomPool;
using LumenCryptMini::SymmetricKey;

namespace {

TEST(SymmetricKeyTest, PublishedVectorsBothWays)
{
    const auto records = readKnownAnswers("blowfish.vec");
    ASSERT_EQ(records.size(), 54U);
    SymmetricKey key(0);
    for (const auto& record : records) {
        ASSERT_TRUE(key.setKey(record.at("Key")));
        std::uint32_t left = word32be(record.at("In"), 0);
        std::uint32_t right = word32be(record.at("In"), 4);
        key.blockEncrypt(left, right);
        EXPECT_EQ(left, word32be(record.at("Out"), 0));
        EXPECT_EQ(right, word32be(record.at("Out"), 4));
        ByteString back(12, 0);
        key.blockDecrypt(record.at("Out"), 0, back, 4);
        EXPECT_EQ(ByteString(back.begin() + 4, back.end()), record.at("In"));
    }
}

TEST(SymmetricKeyTest, KeyLengthsFiveToFiftySix)
{
    const ByteString first = fromHex("0123456789abcdef");
    for (const std::int32_t length : {-1, 0, 4, 5, 8, 56, 57}) {
        const bool valid = length >= 5 && length <= 56;
        SymmetricKey made(length);
        EXPECT_EQ(made.hasKey(), valid) << length;
        EXPECT_EQ(made.keyBytes().size(), valid ? static_cast<std::size_t>(length) : 0U);

        SymmetricKey key(0);
        ASSERT_TRUE(key.setKey(first));
        // A refused generate changes nothing; a refused setKey drops the key.
        EXPECT_EQ(key.generate(length), valid);
        EXPECT_TRUE(key.hasKey());
        EXPECT_EQ(key.setKey(ByteString(static_cast<std::size_t>(std::max(length, 0)), 7)), valid);
        EXPECT_EQ(key.hasKey(), valid);
        EXPECT_EQ(key.keyBytes().size(), valid ? static_cast<std::size_t>(length) : 8U);
    }

    RandomPool pool(fromHex("00"));
    RandomPool same(fromHex("00"));
    ByteString drawn(8);
    same.fill(drawn);
    SymmetricKey key(0);
    ASSERT_TRUE(key.generate(8, pool));
    EXPECT_EQ(key.keyBytes(), drawn);
}

TEST(SymmetricKeyTest, RefusalsLeaveThePlaintextUntouched)
{
    SymmetricKey key(8);
    SymmetricKey unkeyed(0);
    ByteString plaintext = fromHex("abcdef");
    for (const std::size_t size : {0U, 7U, 12U}) {
        EXPECT_FALSE(key.decrypt(ByteString(size, 1), plaintext)) << size;
    }
    EXPECT_FALSE(key.decrypt(plaintext.data(), -8, plaintext));
    EXPECT_FALSE(unkeyed.decrypt(ByteString(8, 1), plaintext));
    EXPECT_EQ(plaintext, fromHex("abcdef"));
}

} // namespace
