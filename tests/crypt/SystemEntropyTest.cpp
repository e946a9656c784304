// The real platform backend's entropy sources.
#include "platform/Platform.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(SystemEntropyTest, BackendReportsPlausibleQuantities)
{
    // FILETIME counts 100 ns units from 1601, the standard clock from 1970.
    const auto unixSeconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const auto fileTimeSeconds =
        static_cast<std::int64_t>(Platform::systemTimeAsFileTime() / 10000000);
    EXPECT_NEAR(static_cast<double>(fileTimeSeconds - 11644473600),
                static_cast<double>(unixSeconds.count()), 2.0);

    const Platform::DiskFreeSpace disk = Platform::currentDriveFreeSpace();
    EXPECT_GT(disk.sectorsPerCluster * disk.bytesPerSector, 0U);
    EXPECT_GT(disk.totalClusters, 0U);
    EXPECT_LE(disk.freeClusters, disk.totalClusters);

    std::uint8_t first[32] = {};
    std::uint8_t second[32] = {};
    EXPECT_TRUE(Platform::systemRandom(first, sizeof first));
    EXPECT_TRUE(Platform::systemRandom(second, sizeof second));
    EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
}

} // namespace
