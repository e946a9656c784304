// The library's only exported functions. Nothing thrown inside may reach the
// host: each body hands over to the registration code under a catch-all and
// answers with a code, and a POSIX thread cancellation waits until it returns.

#ifndef REGISTER_BUILDING_LIBRARY
#define REGISTER_BUILDING_LIBRARY
#endif
#include "common/SecureWipe.h"
#include "platform/Process.h"
#include "registration/CallHandle.h"
#include "registration/RegistrationCall.h"
#include "registration/ResultTexts.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <register/register.h>

namespace {

// Copies what fits, always terminated when there is room for the zero, and
// returns the full length so that the host can size its buffer.
std::int32_t copyOut(const void* source, std::size_t length, char* buffer,
                     std::int32_t capacity) noexcept
{
    if (buffer != nullptr && capacity > 0) {
        const std::size_t copied = std::min(length, static_cast<std::size_t>(capacity) - 1);
        if (copied != 0) {
            std::memcpy(buffer, source, copied);
        }
        buffer[copied] = '\0';
    }
    return static_cast<std::int32_t>(
        std::min<std::size_t>(length, std::numeric_limits<std::int32_t>::max()));
}

CallResult runOriginal(const char* exportName, const RegistrationArguments& arguments) noexcept
{
    CallRequest request;
    request.exportName = exportName;
    request.arguments = arguments;
    request.originalCodes = true;
    return runCall(request);
}

} // namespace

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterUser(const char* text, int32_t setting,
                                                               int32_t flag1, int32_t flag2,
                                                               int32_t flag3,
                                                               int32_t reserved) REGISTER_NOEXCEPT
{
    const Platform::CancellationShield shield;
    CallResult call =
        runOriginal("DLL_RegisterUser", {text, setting, flag1, flag2, flag3, reserved});
    secureWipe(call.report.resultString);
    return call.code;
}

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterUserEx(
    const char* text, int32_t setting, int32_t flag1, int32_t flag2, int32_t flag3,
    int32_t reserved, char* resultBuffer, int32_t resultCapacity, int32_t* resultLength,
    char* logBuffer, int32_t logCapacity, int32_t* logLength) REGISTER_NOEXCEPT
{
    const Platform::CancellationShield shield;
    // The report is filled on every way out of the driver, so a host learns
    // how far an attempt got even when it ended in an exception.
    CallResult call =
        runOriginal("DLL_RegisterUserEx", {text, setting, flag1, flag2, flag3, reserved});
    const WipeOnExit wipeResult(call.report.resultString);
    const ByteString& result = call.report.resultString;
    const std::string& log = call.report.progressLog;
    const std::int32_t fullResult =
        copyOut(result.data(), result.size(), resultBuffer, resultCapacity);
    const std::int32_t fullLog = copyOut(log.data(), log.size(), logBuffer, logCapacity);
    if (resultLength != nullptr) {
        *resultLength = fullResult;
    }
    if (logLength != nullptr) {
        *logLength = fullLog;
    }
    return call.code;
}

extern "C" REGISTER_API RegisterCall* REGISTER_CALL DLL_RegisterCallCreate(void) REGISTER_NOEXCEPT
{
    return reinterpret_cast<RegisterCall*>(new (std::nothrow) CallHandle);
}

extern "C" REGISTER_API void REGISTER_CALL DLL_RegisterCallDestroy(RegisterCall* call)
    REGISTER_NOEXCEPT
{
    CallHandle* handle = CallHandle::fromHost(call);
    if (handle != nullptr && handle->retire()) {
        delete handle;
    }
}

extern "C" REGISTER_API int32_t REGISTER_CALL
DLL_RegisterCallSetNumber(RegisterCall* call, int32_t option, int32_t value) REGISTER_NOEXCEPT
{
    CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return REGISTER_SET_NO_HANDLE;
    }
    return handle->setNumber(option, value);
}

extern "C" REGISTER_API int32_t REGISTER_CALL
DLL_RegisterCallSetText(RegisterCall* call, int32_t option, const char* value) REGISTER_NOEXCEPT
{
    CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return REGISTER_SET_NO_HANDLE;
    }
    try {
        return handle->setText(option, value);
    } catch (...) {
        return REGISTER_SET_BAD_VALUE;
    }
}

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallSetProgress(
    RegisterCall* call, RegisterProgressCallback callback, void* context) REGISTER_NOEXCEPT
{
    CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return REGISTER_SET_NO_HANDLE;
    }
    handle->setProgress(callback, context);
    return REGISTER_SET_OK;
}

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallRun(RegisterCall* call,
                                                                  const char* text, int32_t setting,
                                                                  int32_t flag1, int32_t flag2,
                                                                  int32_t flag3) REGISTER_NOEXCEPT
{
    CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return REGISTER_RESULT_INTERNAL_ERROR;
    }
    const Platform::CancellationShield shield;
    const CallHandle::RunOutcome outcome = handle->run({text, setting, flag1, flag2, flag3, 0});
    if (outcome.release) {
        delete handle;
    }
    return outcome.code;
}

extern "C" REGISTER_API void REGISTER_CALL DLL_RegisterCallCancel(RegisterCall* call)
    REGISTER_NOEXCEPT
{
    if (CallHandle* handle = CallHandle::fromHost(call)) {
        handle->cancel();
    }
}

extern "C" REGISTER_API int32_t REGISTER_CALL
DLL_RegisterCallGetNumber(RegisterCall* call, int32_t info) REGISTER_NOEXCEPT
{
    const CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return handle->number(info).value_or(std::numeric_limits<std::int32_t>::min());
}

extern "C" REGISTER_API int32_t REGISTER_CALL
DLL_RegisterCallGetInfo(RegisterCall* call, int32_t info, int32_t* value) REGISTER_NOEXCEPT
{
    const CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return REGISTER_SET_NO_HANDLE;
    }
    const std::optional<std::int32_t> number = handle->number(info);
    if (!number) {
        return REGISTER_SET_UNKNOWN_OPTION;
    }
    if (value == nullptr) {
        return REGISTER_SET_BAD_VALUE;
    }
    *value = *number;
    return REGISTER_SET_OK;
}

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterCallGetText(
    RegisterCall* call, int32_t info, char* buffer, int32_t capacity) REGISTER_NOEXCEPT
{
    const CallHandle* handle = CallHandle::fromHost(call);
    if (handle == nullptr) {
        return -1;
    }
    const Platform::CancellationShield shield;
    try {
        std::optional<std::string> text = handle->text(info);
        if (!text) {
            return -1;
        }
        // The result string is a secret of the host's; this copy of it ends here.
        const WipeOnExit wipeCopy(*text);
        return copyOut(text->data(), text->size(), buffer, capacity);
    } catch (...) {
        return -1;
    }
}

extern "C" REGISTER_API const char* REGISTER_CALL DLL_RegisterResultText(int32_t code)
    REGISTER_NOEXCEPT
{
    return resultText(code);
}

extern "C" REGISTER_API const char* REGISTER_CALL DLL_RegisterReasonText(int32_t reason)
    REGISTER_NOEXCEPT
{
    return reasonText(reason);
}

extern "C" REGISTER_API const char* REGISTER_CALL DLL_RegisterVersion(void) REGISTER_NOEXCEPT
{
    return REGISTER_LIBRARY_VERSION;
}

extern "C" REGISTER_API int32_t REGISTER_CALL DLL_RegisterVersionNumber(void) REGISTER_NOEXCEPT
{
    return REGISTER_LIBRARY_VERSION_NUMBER;
}
