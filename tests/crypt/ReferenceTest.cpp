// MD5 and Blowfish against OpenSSL's, on random inputs of every size.
#include "KnownAnswers.h"
#include "crypt/MD5.h"
#include "crypt/SymmetricKey.h"

#include <gtest/gtest.h>
#include <openssl/blowfish.h>
#include <openssl/md5.h>

using LumenCryptMini::SymmetricKey;

namespace {

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

TEST(ReferenceTest, MD5WholeAndInRandomPieces)
{
    std::mt19937 random(5);
    LumenCryptMini::MD5 md5;
    for (std::size_t length = 0; length <= 300; ++length) {
        const ByteString message = randomBytes(random, length);
        ByteString expected(MD5_DIGEST_LENGTH);
        MD5(message.data(), message.size(), expected.data());
        ASSERT_EQ(md5.digest(message), expected) << length;
        for (std::size_t offset = 0; offset < length;) {
            const std::size_t piece = std::min<std::size_t>(random() % 70, length - offset);
            md5.update(message.data() + offset, piece);
            offset += piece;
        }
        ASSERT_EQ(md5.finish(), expected) << length;
    }
}

TEST(ReferenceTest, BlowfishForEveryKeyLength)
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
            ByteString expected(8);
            BF_ecb_encrypt(block.data(), expected.data(), &schedule, BF_ENCRYPT);
            std::uint32_t left = word32be(block, 0);
            std::uint32_t right = word32be(block, 4);
            key.blockEncrypt(left, right);
            ASSERT_EQ(left, word32be(expected, 0)) << length;
            ASSERT_EQ(right, word32be(expected, 4)) << length;
            ByteString back(8);
            key.blockDecrypt(expected, 0, back, 0);
            ASSERT_EQ(back, block) << length;
        }
    }
}

TEST(ReferenceTest, DecryptsEveryFramedReply)
{
    std::mt19937 random(8);
    const ByteString keyBytes = randomBytes(random, 8);
    SymmetricKey key(0);
    ASSERT_TRUE(key.setKey(keyBytes));
    for (std::uint32_t length = 0; length <= 300; ++length) {
        // Filler to the next multiple of 8, and 8 more when none is needed.
        const std::size_t filler = (8 - (4 + length) % 8) % 8;
        for (const std::size_t extra : {filler, filler == 0 ? 8U : filler}) {
            const ByteString message = randomBytes(random, length);
            const ByteString ciphertext =
                referenceCbc(keyBytes, concat(concat(littleEndian(length, 4), message),
                                              randomBytes(random, extra)));
            ByteString plaintext = fromHex("ee");
            ASSERT_TRUE(key.decrypt(ciphertext, plaintext)) << length << " + " << extra;
            ASSERT_EQ(plaintext, message) << length << " + " << extra;
            // The pointer form, and again: each call starts from the vector.
            ASSERT_TRUE(key.decrypt(ciphertext.data(), static_cast<std::int32_t>(ciphertext.size()),
                                    plaintext));
            ASSERT_EQ(plaintext, message);
        }
    }
}

TEST(ReferenceTest, LengthPrefixChecks)
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
            concat(littleEndian(c.prefix, 4), randomBytes(random, c.size - 4));
        ByteString plaintext;
        EXPECT_EQ(key.decrypt(referenceCbc(keyBytes, deciphered), plaintext), c.accepted)
            << c.size << " " << c.prefix;
        // A refusal leaves every deciphered byte, prefix included.
        const auto begin = deciphered.begin() + (c.accepted ? 4 : 0);
        EXPECT_EQ(plaintext, ByteString(begin, c.accepted ? begin + c.prefix : deciphered.end()));
    }
}

} // namespace
