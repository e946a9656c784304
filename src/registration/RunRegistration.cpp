#include "registration/RunRegistration.h"

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

// Hands the log, and on success the result string, to the caller's report
// when the attempt ends, an unwinding exception included. Moving never
// throws, so this is safe in a destructor.
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
            if (succeeded) {
                report->resultString = std::move(client.resultString);
            }
        }
    }
    ReportOnExit(const ReportOnExit&) = delete;
    ReportOnExit& operator=(const ReportOnExit&) = delete;

    bool succeeded = false;

  private:
    RegistrationClient& client;
    RegistrationReport* report;
};

} // namespace

std::int32_t runRegistration(const RegistrationArguments& arguments, RegistrationReport* report)
{
    return runRegistrationWith(westDirectoryEndpoint, eastDirectoryEndpoint, arguments, report);
}

std::int32_t runRegistrationWith(const char* westEndpoint, const char* eastEndpoint,
                                 const RegistrationArguments& arguments, RegistrationReport* report,
                                 const ExchangeTimeouts& timeouts)
{
    if (report != nullptr) {
        *report = RegistrationReport{};
    }
    if (arguments.text == nullptr) {
        return registrationInternalError;
    }

    SocketLibrarySession sockets;
    RegistrationClient client;
    client.timeouts = timeouts;
    ReportOnExit reportOnExit(client, report);

    const char* text = arguments.text;
    ByteString textCopy(text, text + std::strlen(text) + 1);

    // Inserted whether or not the host resolved: an unresolved one is the
    // all-zero address, which sorts first and then fails to connect.
    for (const char* endpoint : {westEndpoint, eastEndpoint}) {
        SocketAddress server;
        server.parse(endpoint);
        client.directoryServers.insert(server);
    }

    if (!client.getDBProxyAddresses(registrationDirectoryPath)) {
        return directoryLookupFailed;
    }

    client.registrationText = std::move(textCopy);
    client.registrationSetting = arguments.setting;
    client.firstFlag = arguments.flag1 != 0;
    client.secondFlag = arguments.flag2 != 0;
    client.thirdFlag = arguments.flag3 != 0;

    if (!client.sendRegistration()) {
        return registrationExchangeFailed;
    }
    reportOnExit.succeeded = true;
    return registrationSucceeded;
}
