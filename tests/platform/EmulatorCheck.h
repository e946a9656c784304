#pragma once

// Whether this program runs under a user-mode emulator such as qemu-i386
// (started by cmake/linux-i386-run.sh, or by the kernel through binfmt_misc),
// which is no kernel: /proc/self/mem is the emulator's memory at the same
// numbers, not this program's.

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

inline bool procMemoryIsOurs()
{
    static const char canary[] = "register-emulator-canary";
    char seen[sizeof canary] = {};
    const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    const bool same = memory >= 0 &&
                      pread(memory, seen, sizeof seen,
                            static_cast<off_t>(reinterpret_cast<std::uintptr_t>(canary))) ==
                          static_cast<ssize_t>(sizeof seen) &&
                      std::memcmp(seen, canary, sizeof seen) == 0;
    if (memory >= 0) {
        close(memory);
    }
    return same;
}
