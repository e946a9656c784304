#include "crypt/SymmetricKey.h"

#include "KnownAnswers.h"
#include "crypt/RandomPool.h"

#include <gtest/gtest.h>
#include <openssl/blowfish.h>

using LumenCryptMini::RandomPool;
using LumenCryptMini::SymmetricKey;

namespace {

std::uint32_t word(const ByteString& bytes, std::size_t offset)
{
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

// The peer's side: CBC under OpenSSL's Blowfish with the all-0xFF vector.
ByteString referenceCbc(const ByteString& key, const ByteString& plaintext)
{
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
    std::uint8_t iv[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    ByteString ciphertext(plaintext.size());
    BF_cbc_encrypt(plaintext.data(), ciphertext.data(), static_cast<long>(plaintext.size()),
                   &schedule, iv, BF_ENCRYPT);
    return ciphertext;
}

ByteString lengthPrefix(std::uint32_t length)
{
    return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

TEST(SymmetricKeyTest, PublishedVectorsBothWays)
{
    const auto records = readKnownAnswers("blowfish.vec");
    ASSERT_EQ(records.size(), 54U);
    SymmetricKey key(0);
    for (const auto& record : records) {
        ASSERT_TRUE(key.setKey(record.at("Key")));
        std::uint32_t left = word(record.at("In"), 0);
        std::uint32_t right = word(record.at("In"), 4);
        key.blockEncrypt(left, right);
        EXPECT_EQ(left, word(record.at("Out"), 0));
        EXPECT_EQ(right, word(record.at("Out"), 4));
        ByteString back(12, 0);
        key.blockDecrypt(record.at("Out"), 0, back, 4);
        EXPECT_EQ(ByteString(back.begin() + 4, back.end()), record.at("In"));
    }
}

TEST(SymmetricKeyTest, AgreesWithOpenSslForEveryKeyLength)
{
    std::mt19937 random(1993);
    SymmetricKey key(0);
    for (std::size_t length = 5; length <= 56; ++length) {
        const ByteString keyBytes = randomBytes(random, length);
        ASSERT_TRUE(key.setKey(keyBytes));
        BF_KEY schedule;
        BF_set_key(&schedule, static_cast<int>(length), keyBytes.data());
        for (int i = 0; i < 8; ++i) {
            const ByteString block = randomBytes(random, 8);
            BF_LONG expected[2] = {word(block, 0), word(block, 4)};
            BF_encrypt(expected, &schedule);
            std::uint32_t left = word(block, 0);
            std::uint32_t right = word(block, 4);
            key.blockEncrypt(left, right);
            ASSERT_EQ(left, expected[0]) << length;
            ASSERT_EQ(right, expected[1]) << length;
            ByteString encrypted(8);
            BF_ecb_encrypt(block.data(), encrypted.data(), &schedule, BF_ENCRYPT);
            ByteString back(8);
            key.blockDecrypt(encrypted, 0, back, 0);
            ASSERT_EQ(back, block) << length;
        }
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

    RandomPool pool(fromHex("00")), same(fromHex("00"));
    ByteString drawn(8);
    same.fill(drawn);
    SymmetricKey key(0);
    ASSERT_TRUE(key.generate(8, pool));
    EXPECT_EQ(key.keyBytes(), drawn);
}

TEST(SymmetricKeyTest, DecryptsEveryFramedReply)
{
    std::mt19937 random(8);
    const ByteString keyBytes = randomBytes(random, 8);
    SymmetricKey key(0);
    ASSERT_TRUE(key.setKey(keyBytes));
    for (std::uint32_t length = 0; length <= 300; ++length) {
        // Filler to the next multiple of 8, or 8 more when none is needed
        // (but at most 4 when the whole reply is one block).
        const std::size_t filler = (8 - (4 + length) % 8) % 8;
        for (const std::size_t extra : {filler, filler == 0 ? 8U : filler}) {
            const ByteString message = randomBytes(random, length);
            const ByteString ciphertext =
                referenceCbc(keyBytes, concat(concat(lengthPrefix(length), message),
                                              randomBytes(random, extra)));
            ByteString plaintext = fromHex("ee");
            ASSERT_TRUE(key.decrypt(ciphertext, plaintext)) << length << " + " << extra;
            ASSERT_EQ(plaintext, message) << length << " + " << extra;
            ASSERT_TRUE(key.decrypt(ciphertext.data(), static_cast<std::int32_t>(ciphertext.size()),
                                    plaintext));
            ASSERT_EQ(plaintext, message);
        }
    }
}

TEST(SymmetricKeyTest, LengthPrefixChecks)
{
    struct Case {
        std::size_t size;
        std::uint32_t prefix;
        bool accepted;
    };
    const Case cases[] = {{8, 0, true},           {8, 4, true},    {8, 5, false},
                          {16, 3, false},         {16, 4, true},   {16, 12, true},
                          {16, 13, false},        {24, 11, false}, {24, 12, true},
                          {24, 20, true},         {24, 21, false}, {8, 0xffffffff, false},
                          {16, 0x80000004, false}};
    std::mt19937 random(12);
    const ByteString keyBytes = randomBytes(random, 16);
    SymmetricKey key(0);
    ASSERT_TRUE(key.setKey(keyBytes));
    for (const Case& c : cases) {
        const ByteString deciphered =
            concat(lengthPrefix(c.prefix), randomBytes(random, c.size - 4));
        ByteString plaintext;
        EXPECT_EQ(key.decrypt(referenceCbc(keyBytes, deciphered), plaintext), c.accepted)
            << c.size << " " << c.prefix;
        const auto end = c.accepted ? 4 + c.prefix : c.size;
        EXPECT_EQ(plaintext,
                  ByteString(deciphered.begin() + (c.accepted ? 4 : 0), deciphered.begin() + end));
    }

    // Refusals that leave the plaintext untouched.
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
