#include "crypt/RandomPool.h"

#include "KnownAnswers.h"

#include <gtest/gtest.h>

using LumenCryptMini::MD5;
using LumenCryptMini::RandomPool;

namespace {

ByteString block(const ByteString& seed, std::uint64_t counter)
{
    return MD5().digest(concat(seed, littleEndian(counter)));
}

TEST(RandomPoolTest, OutputIsMD5OfSeedAndCounter)
{
    const ByteString seedBytes = fromHex("0011223344556677");
    const ByteString seed = MD5().digest(seedBytes);
    RandomPool pool(seedBytes);
    ByteString output(48);
    pool.fill(output);
    EXPECT_EQ(output, concat(concat(block(seed, 0), block(seed, 1)), block(seed, 2)));

    // A second seeding chains: MD5(old seed || bytes).
    RandomPool reseeded(seedBytes);
    reseeded.addSeed(fromHex("a5a5"));
    reseeded.fill(output);
    EXPECT_EQ(ByteString(output.begin(), output.begin() + 16),
              block(MD5().digest(concat(seed, fromHex("a5a5"))), 0));
}

TEST(RandomPoolTest, FillsInPiecesContinueOneStream)
{
    const std::vector<std::vector<std::size_t>> patterns = {
        {5, 11}, {8, 8}, {17}, {0, 3, 0, 13, 20}, {1, 1, 1, 30}, {16, 16, 1}, {47, 2}};
    for (const auto& pattern : patterns) {
        RandomPool pieces(fromHex("feedface"));
        ByteString joined;
        for (const std::size_t length : pattern) {
            ByteString piece(length, 0x5a);
            pieces.fill(piece);
            joined = concat(joined, piece);
        }
        RandomPool whole(fromHex("feedface"));
        ByteString once(joined.size());
        whole.fill(once);
        EXPECT_EQ(joined, once) << pattern.size() << " fills of " << joined.size();
    }
}

} // namespace
