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

TEST(MD5Test, IncrementalMatchesOneShotAtEverySplit)
{
    // Up to 130 bytes: a pending tail of every size, the 55/56-byte edge
    // where the bit count needs one more block, and a second whole block.
    std::mt19937 random(1321);
    MD5 md5;
    for (std::size_t length = 0; length <= 130; ++length) {
        const ByteString message = randomBytes(random, length);
        const ByteString expected = md5.digest(message);
        for (std::size_t split = 0; split <= length; ++split) {
            md5.update(message.data(), split);
            md5.update(
                ByteString(message.begin() + static_cast<std::ptrdiff_t>(split), message.end()));
            ASSERT_EQ(md5.finish(), expected) << length << " split " << split;
        }
    }
}

} // namespace
