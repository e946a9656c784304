#pragma once

#include <cstdint>
#include <string>

// Why a call ended without success; each reason is set by one kind of event.
// The values are those of the public header's REGISTER_REASON_ constants.
enum class FailureReason : std::int32_t {
    none = 0,
    invalidArgument = 1,
    configuration = 2,
    directoryUnreachable = 3,
    directoryError = 4,
    directoryEmpty = 5,
    dbProxyUnreachable = 6,
    dbProxyError = 7,
    databaseError = 8,
    textTooLong = 9,
    internal = 10,
    cancelled = 11,
    deadlineExpired = 12,
    misuse = 13,
};

// What a call learned about its failure besides the log.
struct CallFailure {
    FailureReason reason = FailureReason::none;
    // The directory, DBProxy or database status, for the reasons that carry one.
    std::int16_t serverStatus = 0;
    // The last socket step that failed; 0 when none did.
    std::int32_t socketStatus = 0;
    // "a.b.c.d:port" of the server tried last: the one that gave the verdict
    // or failed last.
    std::string server;
};
