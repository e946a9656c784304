// What register-host's exit status means; scripts compare against these.
#pragma once

#include <cstdint>

enum HostExitStatus {
    exitSuccess = 0, // registered, or --help or --version answered
    exitHostFailure = 1,
    exitUsageError = 2,
    exitLibraryUnusable = 3,
    // A failed registration exits with this plus the library's code, so that
    // no code can be mistaken for one of the host's own statuses above.
    exitFailedCodeBase = 10,
};

inline int exitStatusForCode(std::int32_t code)
{
    if (code == 0) {
        return exitSuccess;
    }
    // Beyond this the status would wrap at 256 or clash with the shell's own
    // statuses for a program killed by a signal.
    if (code < 0 || code > 100) {
        return exitHostFailure;
    }
    return exitFailedCodeBase + code;
}
