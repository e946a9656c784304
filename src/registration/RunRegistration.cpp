#include "registration/RunRegistration.h"

#include "common/SecureWipe.h"
#include "net/SocketLibrary.h"
#include "registration/DirectoryEndpoints.h"

#include <cstring>
#include <utility>

namespace {

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
    case FailureReason::cancelled:
        return registrationCancelled;
    case FailureReason::deadlineExpired:
        return registrationDeadlineExpired;
    case FailureReason::internal:
        return registrationInternalError;
    default:
        return walkFailed;
    }
}

} // namespace

std::int32_t runRegistration(const RegistrationArguments& arguments, RegistrationReport* report)
{
    return runRegistrationWith(westDirectoryEndpoint, eastDirectoryEndpoint, arguments, report);
}

std::int32_t runRegistrationWith(const char* westEndpoint, const char* eastEndpoint,
                                 const RegistrationArguments& arguments, RegistrationReport* report,
                                 const ExchangeTimeouts& timeouts)
{
    CallPlan plan;
    plan.directoryEndpoints = {westEndpoint, eastEndpoint};
    plan.timeouts = timeouts;
    return runRegistrationWith(plan, arguments, report);
}

std::int32_t runRegistrationWith(const CallPlan& plan, const RegistrationArguments& arguments,
                                 RegistrationReport* report)
{
    if (report != nullptr) {
        *report = RegistrationReport{};
    }
    if (arguments.text == nullptr) {
        if (report != nullptr) {
            report->failure.reason = FailureReason::invalidArgument;
        }
        return registrationInternalError;
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
        return failureCode(client.failure, directoryLookupFailed);
    }

    // Inserted whether or not the host resolved: an unresolved one is the
    // all-zero address, which sorts first and then fails to connect.
    for (const std::string& endpoint : plan.directoryEndpoints) {
        SocketAddress server;
        server.parse(endpoint.c_str());
        client.directoryServers.insert(server);
    }

    if (!client.getDBProxyAddresses(registrationDirectoryPath)) {
        return failureCode(client.failure, directoryLookupFailed);
    }
    reportOnExit.reachedExchange = true;

    client.registrationText = std::move(textCopy);
    client.registrationSetting = arguments.setting;
    client.firstFlag = arguments.flag1 != 0;
    client.secondFlag = arguments.flag2 != 0;
    client.thirdFlag = arguments.flag3 != 0;

    if (!client.sendRegistration()) {
        return failureCode(client.failure, registrationExchangeFailed);
    }
    reportOnExit.succeeded = true;
    return registrationSucceeded;
}
