#include "registration/CallRunner.h"

#include "net/CallControl.h"
#include "platform/Process.h"
#include "registration/CallLogFile.h"
#include "registration/DirectoryEndpoints.h"
#include "registration/RuntimeConfiguration.h"

#include <chrono>

namespace {

CallSettings builtInSettings()
{
    const ExchangeTimeouts timeouts;
    CallSettings settings;
    settings.directory = {westDirectoryEndpoint, eastDirectoryEndpoint};
    settings.connectTimeoutMs = timeouts.connectMs;
    settings.sendTimeoutMs = timeouts.sendMs;
    settings.receiveTimeoutMs = timeouts.receiveMs;
    settings.deadlineMs = 0;
    return settings;
}

CallSettings settingsInEffect(const RuntimeConfiguration& runtime,
                              const CallSettings* handleSettings)
{
    CallSettings settings = builtInSettings();
    settings.overlay(runtime.settings);
    if (handleSettings != nullptr) {
        settings.overlay(*handleSettings);
    }
    return settings;
}

void refuseConfiguration(const std::string& fault, const CallRequest& request, CallResult& result)
{
    const std::string line = "Configuration error: " + fault;
    result.report.progressLog = line + "\n";
    if (request.listener) {
        request.listener(line);
    }
    result.report.failure.reason = FailureReason::configuration;
    result.code = registrationInternalError;
}

void runRegistrationUnder(const CallSettings& settings, const CallRequest& request,
                          CallResult& result)
{
    CallControl ownControl;
    CallControl* control = request.control;
    if (control == nullptr && *settings.deadlineMs != 0) {
        control = &ownControl;
    }
    if (control != nullptr) {
        control->startDeadline(*settings.deadlineMs);
    }
    CallPlan plan;
    plan.directoryEndpoints = *settings.directory;
    plan.timeouts = {*settings.connectTimeoutMs, *settings.sendTimeoutMs,
                     *settings.receiveTimeoutMs};
    plan.control = control;
    plan.listener = request.listener;
    try {
        result.code = runRegistrationWith(plan, request.arguments, &result.report);
    } catch (...) {
        result.code = registrationInternalError;
        result.report.failure.reason = FailureReason::internal;
    }
    if (request.originalCodes && result.code == registrationDeadlineExpired) {
        result.code =
            result.report.reachedExchange ? registrationExchangeFailed : directoryLookupFailed;
    }
}

} // namespace

CallResult runCall(const CallRequest& request) noexcept
{
    const auto started = std::chrono::steady_clock::now();
    const auto when = std::chrono::system_clock::now();
    CallResult result;
    try {
        const RuntimeConfiguration runtime = loadRuntimeConfiguration();
        const CallSettings settings = settingsInEffect(runtime, request.handleSettings);
        result.directory = directoryText(*settings.directory);
        if (request.arguments.text == nullptr) {
            result.report.failure.reason = FailureReason::invalidArgument;
        } else if (!runtime.fault.empty()) {
            refuseConfiguration(runtime.fault, request, result);
        } else {
            runRegistrationUnder(settings, request, result);
        }
        result.elapsedMs =
            static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count());
        if (settings.logFile) {
            // A log file that cannot be written never changes the code.
            Platform::appendWhole(*settings.logFile,
                                  callLogRecord(when, request.exportName, result.code,
                                                result.directory, result.report.progressLog));
        }
    } catch (...) {
        result.code = registrationInternalError;
        result.report.failure.reason = FailureReason::internal;
    }
    return result;
}

std::string directoryInEffect(const CallSettings* handleSettings)
{
    return directoryText(*settingsInEffect(loadRuntimeConfiguration(), handleSettings).directory);
}
