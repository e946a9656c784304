// The quantities the random generator's entropy sample reads, from POSIX
// and Linux calls.
#include "platform/Platform.h"

#include <cerrno>
#include <limits>
#include <sys/random.h>
#include <sys/statvfs.h>
#include <time.h>

namespace Platform {
namespace {

// Seconds from 1601-01-01 to 1970-01-01, in 100-nanosecond units.
constexpr std::uint64_t unixEpochAsFileTime = 116444736000000000ULL;

std::uint32_t saturate32(std::uint64_t value)
{
    constexpr std::uint64_t limit = std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(value < limit ? value : limit);
}

} // namespace

DiskFreeSpace currentDriveFreeSpace()
{
    // A file system has no clusters of sectors: one fragment stands for one
    // cluster of one sector. Counts beyond 32 bits saturate, as the Windows
    // call's 32-bit fields would.
    struct statvfs info {};
    if (statvfs(".", &info) != 0) {
        return {};
    }
    DiskFreeSpace space;
    space.sectorsPerCluster = 1;
    space.bytesPerSector = saturate32(info.f_frsize);
    space.freeClusters = saturate32(info.f_bavail);
    space.totalClusters = saturate32(info.f_blocks);
    return space;
}

std::uint64_t systemTimeAsFileTime()
{
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return unixEpochAsFileTime;
    }
    return unixEpochAsFileTime + static_cast<std::uint64_t>(now.tv_sec) * 10000000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 100U;
}

bool systemRandom(std::uint8_t* buffer, std::size_t length)
{
    while (length != 0) {
        const ssize_t got = getrandom(buffer, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        buffer += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace Platform
