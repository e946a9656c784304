#include "crypt/MD5.h"

#include "KnownAnswers.h"

#include <gtest/gtest.h>

using LumenCryptMini::MD5;

namespace {

TEST(MD5Test, ReproducesTheRfc1321Suite)
{
    const auto records = readKnownAnswers("md5.vec");
    ASSERT_EQ(records.size(), 7U);
    MD5 md5;
    for (const auto& record : records) {
        // One object for the whole suite: finish must leave it reset.
        EXPECT_EQ(md5.digest(record.at("In")), record.at("Out"));
    }
}

TEST(MD5Test, AgreesWithOpenSslWholeAndInPieces)
{
    // Every split point up to 130 bytes covers a pending tail of each size,
    // the 55/56-byte edge where the bit count needs an extra block, and a
    // second whole block; random pieces go on to 300.
    std::mt19937 random(1321);
    MD5 md5;
    for (std::size_t length = 0; length <= 300; ++length) {
        const ByteString message = randomBytes(random, length);
        const ByteString expected = referenceMD5(message);
        ASSERT_EQ(md5.digest(message), expected) << length;
        if (length <= 130) {
            for (std::size_t split = 0; split <= length; ++split) {
                md5.update(message.data(), split);
                md5.update(message.data() + split, length - split);
                ASSERT_EQ(md5.finish(), expected) << length << " split " << split;
            }
            continue;
        }
        for (std::size_t offset = 0; offset < length;) {
            const std::size_t piece = std::min<std::size_t>(random() % 70, length - offset);
            md5.update(message.data() + offset, piece);
            offset += piece;
        }
        ASSERT_EQ(md5.finish(), expected) << length;
    }
}

} // namespace
