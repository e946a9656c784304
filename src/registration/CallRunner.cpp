#include "registration/CallRunner.h"

#include "net/CallControl.h"
#include "platform/Process.h"
#include "registration/CallLogFile.h"
#include "registration/DirectoryEndpoints.h"
#include "registration/LogText.h"
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

RuntimeConfiguration runtimeConfiguration(bool read)
{
    return read ? loadRuntimeConfiguration() : RuntimeConfiguration{};
}

// A log file that is a FIFO or a device would hold every call that writes
// its record, so the path is refused before the call like any other fault.
std::string logFileFault(const CallSettings& settings)
{
    if (settings.logFile && Platform::namesSomethingElse(*settings.logFile)) {
        return "log file " + *settings.logFile + ": not a regular file";
    }
    return {};
}

// Lines about the configuration open the progress log, quoting what they
// quote with its control bytes escaped.
void logConfigurationLine(std::string_view label, const std::string& what,
                          const CallRequest& request, std::string& lines)
{
    const std::string line = std::string(label) + escapedForLog(what);
    lines.append(line).push_back('\n');
    if (request.listener) {
        request.listener(line);
    }
}

void refuseConfiguration(const std::string& fault, const CallRequest& request, CallResult& result)
{
    logConfigurationLine("Configuration error: ", fault, request, result.report.progressLog);
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
        const RuntimeConfiguration runtime = runtimeConfiguration(request.readConfiguration);
        const CallSettings settings = settingsInEffect(runtime, request.handleSettings);
        result.directory = directoryText(*settings.directory);
        result.configurationFile = runtime.file;
        const std::string fault = runtime.fault.empty() ? logFileFault(settings) : runtime.fault;
        if (request.arguments.text == nullptr) {
            result.report.failure.reason = FailureReason::invalidArgument;
        } else {
            std::string warnings;
            for (const std::string& warning : runtime.warnings) {
                logConfigurationLine("Configuration warning: ", warning, request, warnings);
            }
            if (!fault.empty()) {
                result.report.progressLog = std::move(warnings);
                refuseConfiguration(fault, request, result);
            } else {
                runRegistrationUnder(settings, request, result);
                result.report.progressLog.insert(0, warnings);
            }
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

std::string directoryInEffect(const CallSettings* handleSettings, bool readConfiguration)
{
    return directoryText(
        *settingsInEffect(runtimeConfiguration(readConfiguration), handleSettings).directory);
}
