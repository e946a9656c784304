#include "registration/InProcessDriver.h"

#include "DirectRegistration.h"

namespace scenarios {

InProcessDriver::InProcessDriver(const ExchangeTimeouts& timeouts) : callTimeouts(timeouts) {}

void InProcessDriver::listEntries(const std::vector<testservice::DirectoryEntry>& entries)
{
    directoryServer.setEntries(entries);
}

Outcome InProcessDriver::call(const Call& call)
{
    Outcome outcome;
    RegistrationReport report;
    outcome.code = guarded(call, &report);
    outcome.result.assign(report.resultString.begin(), report.resultString.end());
    outcome.log = report.progressLog;
    return outcome;
}

std::int32_t InProcessDriver::callPlain(const Call& call)
{
    return guarded(call, nullptr);
}

bool InProcessDriver::hasShortTimeouts() const
{
    return callTimeouts.receiveMs <= shortTimeouts.receiveMs;
}

std::int32_t InProcessDriver::guarded(const Call& call, RegistrationReport* report)
{
    const std::string endpoint = directoryServer.endpointText();
    try {
        return runRegistrationWith(
            endpoint.c_str(), endpoint.c_str(),
            {call.text.c_str(), call.setting, call.flag1, call.flag2, call.flag3, 0}, report,
            callTimeouts);
    } catch (...) {
        return REGISTER_RESULT_INTERNAL_ERROR;
    }
}

} // namespace scenarios
