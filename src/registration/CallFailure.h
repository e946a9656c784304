#pragma once

#include <cstdint>
#include <register/register.h>
#include <string>

// What a call learned about its failure besides the log.
struct CallFailure {
    // Each reason is set by one kind of event.
    RegisterReason reason = REGISTER_REASON_NONE;
    // The directory, DBProxy or database status, for the reasons that carry one.
    std::int16_t serverStatus = 0;
    // The last socket step that failed; 0 when none did.
    std::int32_t socketStatus = 0;
    // "a.b.c.d:port" of the server tried last: the one that gave the verdict
    // or failed last.
    std::string server;
};
