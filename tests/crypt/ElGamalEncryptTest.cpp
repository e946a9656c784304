#include "TestBytes.h"
#include "crypt/ElGamalPublicKey.h"
#include "crypt/ElGamalTestKey.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <ostream>
#include <random>
#include <set>

// GoogleTest's printer for failure messages; GMP's own stream operator lives
// in a library the tests do not link.
void PrintTo(const mpz_class& value, std::ostream* out)
{
    *out << "0x" << value.get_str(16);
}

using namespace ElGamalTesting;
using LumenCryptMini::BigInt;
using LumenCryptMini::ElGamalPublicKey;

namespace {

ByteString slice(const ByteString& bytes, std::size_t offset, std::size_t length)
{
    return ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                      bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

class ElGamalEncryption : public ::testing::TestWithParam<int> {};

} // namespace

// The private exponent is known, so every block can be opened and compared
// with the plaintext bytes times 256 plus their count.
TEST_P(ElGamalEncryption, EveryBlockOpensToItsBytesAndCount)
{
    const int bits = GetParam();
    const bool published = bits == 1024 || bits == 1536 || bits == 2048;
    const TestKey key = published ? modpKey(bits, 11) : primeKey(bits, 11);
    const std::size_t width = static_cast<std::size_t>(bits) / 8, perBlock = width - 3;
    ElGamalPublicKey encryptor(ByteString{0x42, static_cast<std::uint8_t>(bits)});
    ASSERT_TRUE(encryptor.load(keyBlob(key)));

    std::mt19937 random(static_cast<unsigned>(bits));
    std::set<mpz_class> seenA;
    std::size_t blocksSeen = 0;
    for (std::size_t length :
         {std::size_t{0}, std::size_t{1}, perBlock - 1, perBlock, perBlock + 1, 3 * perBlock + 7}) {
        SCOPED_TRACE(length);
        ByteString plaintext(length);
        std::generate(plaintext.begin(), plaintext.end(),
                      [&] { return static_cast<std::uint8_t>(random()); });
        ByteString ciphertext;
        ASSERT_TRUE(
            encryptor.encrypt(plaintext.data(), static_cast<std::int32_t>(length), ciphertext));
        const std::size_t blocks = (length + perBlock - 1) / perBlock;
        ASSERT_EQ(ciphertext.size(), 4 + 2 * width * blocks);
        EXPECT_EQ(encryptor.ciphertextLength(length), ciphertext.size());
        EXPECT_EQ(ciphertext[0] | ciphertext[1] << 8 | ciphertext[2] << 16 | ciphertext[3] << 24,
                  static_cast<int>(blocks));
        for (std::size_t i = 0; i < blocks; ++i) {
            const mpz_class a = fromBytes(slice(ciphertext, 4 + 2 * width * i, width));
            const mpz_class b = fromBytes(slice(ciphertext, 4 + 2 * width * i + width, width));
            const std::size_t offset = i * perBlock;
            const std::size_t count = std::min(perBlock, length - offset);
            const mpz_class expected =
                fromBytes(slice(plaintext, offset, count)) * 256 + static_cast<unsigned>(count);
            EXPECT_LT(a, key.p);
            EXPECT_EQ(decrypt(key, a, b), expected) << "block " << i;
            seenA.insert(a);
            ++blocksSeen;
        }
    }
    EXPECT_EQ(seenA.size(), blocksSeen) << "a block reused its exponent";
}

INSTANTIATE_TEST_SUITE_P(ModulusSizes, ElGamalEncryption,
                         ::testing::Values(32, 1024, 1536, 2048, 2064));

// With g = p - 1 and y = 1 every a is p - 1 (k is odd), one byte longer than
// its field once toBytes puts the sign byte in front, and every b is the block
// integer itself, shorter than its field: the whole ciphertext is known.
TEST(ElGamalEncryption, NumbersAreFittedToExactlyTheirFieldWidth)
{
    TestKey key = modpKey(1024, 1);
    key.g = key.p - 1;
    key.y = 1;
    ElGamalPublicKey encryptor(ByteString{0x01});
    ASSERT_TRUE(encryptor.load(keyBlob(key)));
    ByteString plaintext(133);
    for (std::size_t i = 0; i < plaintext.size(); ++i) {
        plaintext[i] = static_cast<std::uint8_t>(0xc0 + i);
    }
    ByteString ciphertext;
    ASSERT_TRUE(encryptor.encrypt(plaintext, ciphertext));

    ByteString expected{2, 0, 0, 0};
    for (std::size_t offset : {0, 125}) {
        const std::size_t count = std::min<std::size_t>(125, plaintext.size() - offset);
        ByteString field(128, 0x00);
        std::copy_n(plaintext.begin() + static_cast<std::ptrdiff_t>(offset), count,
                    field.end() - 1 - static_cast<std::ptrdiff_t>(count));
        field.back() = static_cast<std::uint8_t>(count);
        expected = concat(concat(expected, toBytes(key.p - 1, 128)), field);
    }
    EXPECT_EQ(ciphertext, expected);

    ByteString empty{0x55};
    ASSERT_TRUE(encryptor.encrypt(ByteString{}, empty));
    EXPECT_EQ(empty, (ByteString{0, 0, 0, 0}));
    EXPECT_FALSE(encryptor.encrypt(plaintext.data(), -1, empty));
}

TEST(ElGamalEncryption, ABlockFailsWhenItsArithmeticDoes)
{
    const TestKey key = modpKey(1024, 2);
    ElGamalPublicKey encryptor(ByteString{0x02});
    std::pair<BigInt, BigInt> pair;
    EXPECT_FALSE(encryptor.encryptBlock(BigInt(1, false), pair));
    ASSERT_TRUE(encryptor.load(keyBlob(key)));
    ASSERT_TRUE(encryptor.encryptBlock(BigInt(fromHex("01ff")), pair));
    EXPECT_EQ(decrypt(key, fromBytes(pair.first.toBytes()), fromBytes(pair.second.toBytes())),
              0x1ff);
    // Far above p the Barrett estimate misses by more than the three
    // corrections allow.
    const ByteString huge = concat(fromHex("01"), ByteString(500, 0x00));
    EXPECT_FALSE(encryptor.encryptBlock(BigInt(huge), pair));
}
