#include "registration/RegistrationCall.h"

#include "common/SecureWipe.h"
#include "net/CallControl.h"
#include "net/SocketLibrary.h"
#include "platform/Process.h"
#include "registration/CallLogFile.h"
#include "registration/DirectoryEndpoints.h"
#include "registration/LogText.h"
#include "registration/RuntimeConfiguration.h"

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Everything a registration runs with besides the user's arguments.
struct CallPlan {
    // "host:port" each; an unresolved host is still tried, and fails.
    std::vector<std::string> directoryEndpoints;
    ExchangeTimeouts timeouts;
    // Cancel and deadline; without one the call runs to its own end.
    const CallControl* control = nullptr;
    // Hears each progress line as it is written.
    ProgressLog::Listener listener;
};

// Stops the socket library on every way out, after the client is gone.
class SocketLibrarySession {
  public:
    SocketLibrarySession() { startSockets(); }
    ~SocketLibrarySession() { stopSockets(); }
    SocketLibrarySession(const SocketLibrarySession&) = delete;
    SocketLibrarySession& operator=(const SocketLibrarySession&) = delete;
};

// Hands the log, the failure and on success the result string to the
// caller's report when the attempt ends, an unwinding exception included.
// Moving never throws, so this is safe in a destructor.
class ReportOnExit {
  public:
    ReportOnExit(RegistrationClient& attempt, RegistrationReport* destination)
        : client(attempt), report(destination)
    {
    }
    ~ReportOnExit()
    {
        if (report != nullptr) {
            report->progressLog = client.progressLog.release();
            report->failure = std::move(client.failure);
            report->reachedExchange = reachedExchange;
            if (succeeded) {
                report->resultString = std::move(client.resultString);
            }
        }
    }
    ReportOnExit(const ReportOnExit&) = delete;
    ReportOnExit& operator=(const ReportOnExit&) = delete;

    bool reachedExchange = false;
    bool succeeded = false;

  private:
    RegistrationClient& client;
    RegistrationReport* report;
};

// The code of a walk that ended without success.
std::int32_t failureCode(const CallFailure& failure, std::int32_t walkFailed)
{
    switch (failure.reason) {
    case REGISTER_REASON_CANCELLED:
        return REGISTER_RESULT_CANCELLED;
    case REGISTER_REASON_DEADLINE_EXPIRED:
        return REGISTER_RESULT_DEADLINE_EXPIRED;
    case REGISTER_REASON_INTERNAL:
        return REGISTER_RESULT_INTERNAL_ERROR;
    default:
        return walkFailed;
    }
}

// One whole registration under a plan. Exceptions other than the ones the
// server loops handle leave it, after the client is destroyed and the socket
// library stopped.
std::int32_t registerUnder(const CallPlan& plan, const RegistrationArguments& arguments,
                           RegistrationReport* report)
{
    if (report != nullptr) {
        *report = RegistrationReport{};
    }
    if (arguments.text == nullptr) {
        if (report != nullptr) {
            report->failure.reason = REGISTER_REASON_INVALID_ARGUMENT;
        }
        return REGISTER_RESULT_INTERNAL_ERROR;
    }

    SocketLibrarySession sockets;
    RegistrationClient client;
    client.timeouts = plan.timeouts;
    client.control = plan.control;
    client.progressLog.setListener(plan.listener);
    ReportOnExit reportOnExit(client, report);

    const char* text = arguments.text;
    ByteString textCopy(text, text + std::strlen(text) + 1);
    // The copy goes to the client once the lookup succeeds; a call that ends
    // before must not leave it in freed memory.
    const WipeOnExit wipeTextCopy(textCopy);

    // A cancel that came before the call ends it before any network step.
    if (client.interrupted()) {
        return failureCode(client.failure, REGISTER_RESULT_DIRECTORY_FAILED);
    }

    // Inserted whether or not the host resolved: an unresolved one is the
    // all-zero address, which sorts first and then fails to connect.
    for (const std::string& endpoint : plan.directoryEndpoints) {
        SocketAddress server;
        server.parse(endpoint.c_str());
        client.directoryServers.insert(server);
    }

    if (!client.getDBProxyAddresses(registrationDirectoryPath)) {
        return failureCode(client.failure, REGISTER_RESULT_DIRECTORY_FAILED);
    }
    reportOnExit.reachedExchange = true;

    client.registrationText = std::move(textCopy);
    client.registrationSetting = arguments.setting;
    client.firstFlag = arguments.flag1 != 0;
    client.secondFlag = arguments.flag2 != 0;
    client.thirdFlag = arguments.flag3 != 0;

    if (!client.sendRegistration()) {
        return failureCode(client.failure, REGISTER_RESULT_REGISTRATION_FAILED);
    }
    reportOnExit.succeeded = true;
    return REGISTER_RESULT_SUCCESS;
}

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
    result.report.failure.reason = REGISTER_REASON_CONFIGURATION;
    result.code = REGISTER_RESULT_INTERNAL_ERROR;
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
        result.code = registerUnder(plan, request.arguments, &result.report);
    } catch (...) {
        result.code = REGISTER_RESULT_INTERNAL_ERROR;
        result.report.failure.reason = REGISTER_REASON_INTERNAL;
    }
    if (request.originalCodes && result.code == REGISTER_RESULT_DEADLINE_EXPIRED) {
        result.code = result.report.reachedExchange ? REGISTER_RESULT_REGISTRATION_FAILED
                                                    : REGISTER_RESULT_DIRECTORY_FAILED;
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
            result.report.failure.reason = REGISTER_REASON_INVALID_ARGUMENT;
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
        result.code = REGISTER_RESULT_INTERNAL_ERROR;
        result.report.failure.reason = REGISTER_REASON_INTERNAL;
    }
    return result;
}

std::string directoryInEffect(const CallSettings* handleSettings, bool readConfiguration)
{
    return directoryText(
        *settingsInEffect(runtimeConfiguration(readConfiguration), handleSettings).directory);
}
