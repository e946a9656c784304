// The library's only exported functions. Nothing thrown inside may reach the
// host: each body runs the driver under a catch-all and answers with a code.

#ifndef REGISTER_BUILDING_LIBRARY
#define REGISTER_BUILDING_LIBRARY
#endif
#include "registration/RunRegistration.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <register/register.h>

static_assert(REGISTER_RESULT_SUCCESS == registrationSucceeded);
static_assert(REGISTER_RESULT_INTERNAL_ERROR == registrationInternalError);
static_assert(REGISTER_RESULT_DIRECTORY_FAILED == directoryLookupFailed);
static_assert(REGISTER_RESULT_REGISTRATION_FAILED == registrationExchangeFailed);

namespace {

// Copies what fits, always terminated when there is room for the zero, and
// reports the full length so that the host can retry with enough room.
void copyOut(const void* source, std::size_t length, char* buffer, std::int32_t capacity,
             std::int32_t* fullLength) noexcept
{
    if (fullLength != nullptr) {
        *fullLength = static_cast<std::int32_t>(
            std::min<std::size_t>(length, std::numeric_limits<std::int32_t>::max()));
    }
    if (buffer == nullptr || capacity <= 0) {
        return;
    }
    const std::size_t copied = std::min(length, static_cast<std::size_t>(capacity) - 1);
    if (copied != 0) {
        std::memcpy(buffer, source, copied);
    }
    buffer[copied] = '\0';
}

} // namespace

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterUser(const char* text, int32_t setting,
                                                               int32_t flag1, int32_t flag2,
                                                               int32_t flag3,
                                                               int32_t reserved) REGISTER_NOEXCEPT
{
    try {
        return runRegistration({text, setting, flag1, flag2, flag3, reserved});
    } catch (...) {
        return registrationInternalError;
    }
}

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterUserEx(
    const char* text, int32_t setting, int32_t flag1, int32_t flag2, int32_t flag3,
    int32_t reserved, char* resultBuffer, int32_t resultCapacity, int32_t* resultLength,
    char* logBuffer, int32_t logCapacity, int32_t* logLength) REGISTER_NOEXCEPT
{
    std::int32_t code = registrationInternalError;
    // The report is filled on every way out of the driver, so a host learns
    // how far an attempt got even when it ended in an exception.
    RegistrationReport report;
    try {
        code = runRegistration({text, setting, flag1, flag2, flag3, reserved}, &report);
    } catch (...) {
        code = registrationInternalError;
    }
    copyOut(report.resultString.data(), report.resultString.size(), resultBuffer, resultCapacity,
            resultLength);
    copyOut(report.progressLog.data(), report.progressLog.size(), logBuffer, logCapacity,
            logLength);
    return code;
}
