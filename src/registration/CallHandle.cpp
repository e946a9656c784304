#include "registration/CallHandle.h"

#include "common/SecureWipe.h"

#include <register/register.h>

std::int32_t CallHandle::setNumber(std::int32_t option, std::int32_t value)
{
    if (option == REGISTER_OPTION_CONFIGURATION) {
        if (value == -1 || value == REGISTER_CONFIGURATION_READ) {
            readConfiguration = true;
        } else if (value == REGISTER_CONFIGURATION_IGNORE) {
            readConfiguration = false;
        } else {
            return REGISTER_SET_BAD_VALUE;
        }
        return REGISTER_SET_OK;
    }
    std::optional<std::uint32_t> CallSettings::*field = nullptr;
    std::int32_t minimum = 1;
    switch (option) {
    case REGISTER_OPTION_CONNECT_TIMEOUT_MS:
        field = &CallSettings::connectTimeoutMs;
        break;
    case REGISTER_OPTION_SEND_TIMEOUT_MS:
        field = &CallSettings::sendTimeoutMs;
        break;
    case REGISTER_OPTION_RECEIVE_TIMEOUT_MS:
        field = &CallSettings::receiveTimeoutMs;
        break;
    case REGISTER_OPTION_DEADLINE_MS:
        field = &CallSettings::deadlineMs;
        minimum = 0;
        break;
    default:
        return REGISTER_SET_UNKNOWN_OPTION;
    }
    if (value == -1) {
        (settings.*field).reset();
        return REGISTER_SET_OK;
    }
    if (value < minimum) {
        return REGISTER_SET_BAD_VALUE;
    }
    settings.*field = static_cast<std::uint32_t>(value);
    return REGISTER_SET_OK;
}

std::int32_t CallHandle::setText(std::int32_t option, const char* value)
{
    switch (option) {
    case REGISTER_OPTION_DIRECTORY:
        if (value == nullptr) {
            settings.directory.reset();
            return REGISTER_SET_OK;
        }
        if (auto endpoints = parseDirectoryList(value)) {
            settings.directory = std::move(endpoints);
            return REGISTER_SET_OK;
        }
        return REGISTER_SET_BAD_VALUE;
    case REGISTER_OPTION_LOG_FILE:
        if (value == nullptr) {
            settings.logFile.reset();
            return REGISTER_SET_OK;
        }
        if (*value == '\0') {
            return REGISTER_SET_BAD_VALUE;
        }
        settings.logFile = value;
        return REGISTER_SET_OK;
    default:
        return REGISTER_SET_UNKNOWN_OPTION;
    }
}

CallHandle::~CallHandle()
{
    secureWipe(resultString);
}

CallHandle* CallHandle::fromHost(RegisterCall* call) noexcept
{
    auto* handle = reinterpret_cast<CallHandle*>(call);
    if (handle == nullptr || handle->magic.load(std::memory_order_acquire) != liveMagic) {
        return nullptr;
    }
    return handle;
}

void CallHandle::setProgress(ProgressCallback callback, void* context)
{
    progressCallback = callback;
    progressContext = context;
}

CallHandle::RunOutcome CallHandle::run(const RegistrationArguments& arguments) noexcept
{
    {
        const std::lock_guard lock(state);
        if (running) {
            lastCode = REGISTER_RESULT_INTERNAL_ERROR;
            failure = {};
            failure.reason = REGISTER_REASON_MISUSE;
            return {REGISTER_RESULT_INTERNAL_ERROR, false};
        }
        running = true;
        lastCode = -1;
        failure = {};
        secureWipe(resultString);
        resultString.clear();
        progressLog.clear();
        configurationFile.clear();
        elapsedMs = 0;
    }

    CallResult result;
    const WipeOnExit wipeResult(result.report.resultString);
    try {
        // Copies, so that the callback may change the handle for the next Run.
        const CallSettings runSettings = settings;
        CallRequest request;
        request.exportName = "DLL_RegisterCallRun";
        request.arguments = arguments;
        request.handleSettings = &runSettings;
        request.readConfiguration = readConfiguration;
        request.control = &control;
        if (progressCallback != nullptr) {
            request.listener = [this, callback = progressCallback,
                                context = progressContext](std::string_view line) {
                if (callback(context, line.data(), static_cast<std::int32_t>(line.size())) != 0) {
                    control.cancel();
                }
            };
        }
        result = runCall(request);
    } catch (...) {
        result = {};
        result.report.failure.reason = REGISTER_REASON_INTERNAL;
    }
    control.takeCancel();

    const std::lock_guard lock(state);
    lastCode = result.code;
    failure = std::move(result.report.failure);
    resultString = std::move(result.report.resultString);
    progressLog = std::move(result.report.progressLog);
    elapsedMs = result.elapsedMs;
    configurationFile = std::move(result.configurationFile);
    running = false;
    return {lastCode, retired};
}

bool CallHandle::retire() noexcept
{
    const std::lock_guard lock(state);
    magic.store(0, std::memory_order_release);
    if (!running) {
        return true;
    }
    retired = true;
    control.cancel();
    return false;
}

std::optional<std::int32_t> CallHandle::number(std::int32_t info) const
{
    const std::lock_guard lock(state);
    switch (info) {
    case REGISTER_INFO_CODE:
        return lastCode;
    case REGISTER_INFO_REASON:
        return static_cast<std::int32_t>(failure.reason);
    case REGISTER_INFO_SERVER_STATUS:
        return failure.serverStatus;
    case REGISTER_INFO_SOCKET_STATUS:
        return failure.socketStatus;
    case REGISTER_INFO_ELAPSED_MS:
        return static_cast<std::int32_t>(std::min<std::uint32_t>(elapsedMs, 0x7FFFFFFF));
    default:
        return std::nullopt;
    }
}

std::optional<std::string> CallHandle::text(std::int32_t info) const
{
    const std::lock_guard lock(state);
    switch (info) {
    case REGISTER_INFO_RESULT:
        return std::string(resultString.begin(), resultString.end());
    case REGISTER_INFO_LOG:
        return progressLog;
    case REGISTER_INFO_SERVER:
        return failure.server;
    case REGISTER_INFO_DIRECTORY:
        return directoryInEffect(&settings, readConfiguration);
    case REGISTER_INFO_CONFIGURATION:
        return configurationFile;
    default:
        return std::nullopt;
    }
}
