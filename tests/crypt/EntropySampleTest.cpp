// Linked with this fake platform backend instead of the real one: the disk,
// clock and system generator are fixed so that samples have known values.
#include "KnownAnswers.h"
#include "crypt/ElGamalPublicKey.h"
#include "crypt/RandomPool.h"
#include "crypt/SymmetricKey.h"
#include "platform/Platform.h"

#include <climits>
#include <gtest/gtest.h>

using LumenCryptMini::entropyCounter;
using LumenCryptMini::gatherEntropy;
using LumenCryptMini::RandomPool;

namespace {

Platform::DiskFreeSpace fakeDisk;
std::uint32_t fakeTick = 0;
std::uint64_t fakeTime = 0;
bool fakeRandomWorks = true;
// Read during static initialisation, before any sample is taken.
const std::int32_t counterAtLoad = entropyCounter;

} // namespace

namespace Platform {
DiskFreeSpace currentDriveFreeSpace()
{
    return fakeDisk;
}
std::uint32_t tickCount()
{
    return fakeTick;
}
std::uint64_t systemTimeAsFileTime()
{
    return fakeTime;
}
bool systemRandom(std::uint8_t* buffer, std::size_t length)
{
    for (std::size_t i = 0; fakeRandomWorks && i < length; ++i) {
        buffer[i] = static_cast<std::uint8_t>(0x30 + i);
    }
    return fakeRandomWorks;
}
} // namespace Platform

namespace {

TEST(EntropySampleTest, MixesDiskTickTimeAndCounter)
{
    struct Case {
        Platform::DiskFreeSpace disk;
        std::uint32_t tick;
        std::uint64_t time;
        std::uint64_t withoutCounter;
        std::int32_t counterBefore;
    };
    const Case cases[] = {
        // used 2000 > free: 2000 * 8 * 512 = 0x7d0000, low half from tick 0x1234.
        {{8, 512, 1000, 3000}, 0x12345678, 0x01d9000000000000, 0x01d90000007d1234, 0},
        // free 900 > used: 900 * 4096 = 0x384000.
        {{1, 4096, 900, 1000}, 0xffff0000, 0, 0x38ffff, 0},
        // 2^21 * 64 * 4096 wraps to 0; with an all-ones time the sum wraps.
        {{64, 4096, 0x100000, 0x300000}, 0xffff, ~0ULL, ~0ULL, 0},
        // More free than total: used wraps to 0xfffffffe. A failed query is zeros.
        {{1, 1, 5, 3}, 0x10000, 0x100000000, 0x1ffff0001, 0},
        {{0, 0, 0, 0}, 0, 0x0123456789abcdef, 0x0123456789abcdef, 0},
        // The counter wraps to INT_MIN, which is added sign-extended.
        {{0, 0, 0, 0}, 0, 0x0123456789abcdef, 0x0123456789abcdef, INT_MAX},
    };
    std::vector<std::int32_t> counterValues;
    for (const Case& c : cases) {
        fakeDisk = c.disk;
        fakeTick = c.tick;
        fakeTime = c.time;
        const std::int32_t saved = entropyCounter;
        entropyCounter = c.counterBefore != 0 ? c.counterBefore : saved;
        const ByteString sample = gatherEntropy();
        counterValues.push_back(entropyCounter);
        const auto n = static_cast<std::uint64_t>(std::int64_t{counterValues.back()});
        EXPECT_EQ(fromLittleEndian(sample), c.withoutCounter + n) << std::hex << c.withoutCounter;
        EXPECT_EQ(sample.size(), 8U);
        entropyCounter = c.counterBefore != 0 ? saved : entropyCounter;
    }

    // The first sample in the process has counter term 1, and each next one adds 1.
    EXPECT_EQ(counterAtLoad, 0);
    EXPECT_EQ(counterValues.front(), 1);
    const std::uint64_t first = fromLittleEndian(gatherEntropy());
    EXPECT_EQ(fromLittleEndian(gatherEntropy()) - first, 1U);
    EXPECT_EQ(fromLittleEndian(gatherEntropy()) - first, 2U);
}

TEST(EntropySampleTest, DefaultPoolSeedsWithSampleThenSystemBytes)
{
    for (const bool works : {true, false}) {
        fakeRandomWorks = works;
        RandomPool pool;
        // The next sample differs from the pool's only in its counter term;
        // a failing generator leaves its 32 bytes zero.
        ByteString seedBytes = littleEndian(fromLittleEndian(gatherEntropy()) - 1);
        for (std::size_t i = 0; i < 32; ++i) {
            seedBytes.push_back(works ? static_cast<std::uint8_t>(0x30 + i) : 0);
        }
        ByteString expected(40);
        RandomPool(seedBytes).fill(expected);
        ByteString output(40);
        pool.fill(output);
        EXPECT_EQ(output, expected) << "system generator works: " << works;
        // Without the system's bytes the pool still runs, but no key and no
        // exponent may come from it.
        EXPECT_EQ(pool.seedComplete(), works);
        EXPECT_EQ(LumenCryptMini::SymmetricKey(8).hasKey(), works);
        EXPECT_EQ(LumenCryptMini::ElGamalPublicKey().hasRandomness(), works);
    }
    fakeRandomWorks = true;
}

} // namespace
