// The real platform backend's entropy sources.
#include "platform/Platform.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(SystemEntropyTest, BackendReportsPlausibleQuantities)
{
    // FILETIME counts 100 ns units from 1601; the standard clock counts from
    // 1970. A coarse system clock may lag by a tick of up to 20 ms.
    const auto asFileTime = [](std::chrono::system_clock::time_point t) {
        using Units = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
        return 116444736000000000ULL +
               static_cast<std::uint64_t>(
                   std::chrono::duration_cast<Units>(t.time_since_epoch()).count());
    };
    const std::uint64_t before = asFileTime(std::chrono::system_clock::now());
    const std::uint64_t fileTime = Platform::systemTimeAsFileTime();
    const std::uint64_t after = asFileTime(std::chrono::system_clock::now());
    EXPECT_GE(fileTime + 200000, before);
    EXPECT_LE(fileTime, after + 200000);

    const Platform::DiskFreeSpace disk = Platform::currentDriveFreeSpace();
    EXPECT_GT(disk.sectorsPerCluster, 0U);
    EXPECT_GT(disk.bytesPerSector, 0U);
    EXPECT_GT(disk.totalClusters, 0U);
    EXPECT_LE(disk.freeClusters, disk.totalClusters);

    std::uint8_t first[32] = {};
    std::uint8_t second[32] = {};
    EXPECT_TRUE(Platform::systemRandom(first, sizeof first));
    EXPECT_TRUE(Platform::systemRandom(second, sizeof second));
    EXPECT_NE(std::memcmp(first, second, sizeof first), 0);

    std::int32_t counter = 41;
    EXPECT_EQ(Platform::interlockedIncrement(&counter), 42);
    counter = INT_MAX;
    EXPECT_EQ(Platform::interlockedIncrement(&counter), INT_MIN);
    EXPECT_EQ(counter, INT_MIN);
}

} // namespace
