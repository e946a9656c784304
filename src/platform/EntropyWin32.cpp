// The quantities the random generator's entropy sample reads, from the
// Windows kernel and advapi32.
#include "platform/Platform.h"

#include <windows.h>
// windows.h first: ntsecapi.h depends on its types.
#include <limits>
#include <ntsecapi.h>

namespace Platform {

DiskFreeSpace currentDriveFreeSpace()
{
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    if (!GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters)) {
        return {};
    }
    DiskFreeSpace space;
    space.sectorsPerCluster = sectorsPerCluster;
    space.bytesPerSector = bytesPerSector;
    space.freeClusters = freeClusters;
    space.totalClusters = totalClusters;
    return space;
}

std::uint64_t systemTimeAsFileTime()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

bool systemRandom(std::uint8_t* buffer, std::size_t length)
{
    // RtlGenRandom takes a 32-bit length; larger requests go in pieces.
    constexpr std::size_t chunk = std::numeric_limits<ULONG>::max();
    while (length != 0) {
        const std::size_t piece = length < chunk ? length : chunk;
        if (!RtlGenRandom(buffer, static_cast<ULONG>(piece))) {
            return false;
        }
        buffer += piece;
        length -= piece;
    }
    return true;
}

} // namespace Platform
