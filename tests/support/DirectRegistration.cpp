#include "DirectRegistration.h"

#include <utility>

std::int32_t runRegistrationWith(const char* westEndpoint, const char* eastEndpoint,
                                 const RegistrationArguments& arguments, RegistrationReport* report,
                                 const ExchangeTimeouts& timeouts)
{
    CallSettings settings;
    settings.directory = {westEndpoint, eastEndpoint};
    settings.connectTimeoutMs = timeouts.connectMs;
    settings.sendTimeoutMs = timeouts.sendMs;
    settings.receiveTimeoutMs = timeouts.receiveMs;
    CallRequest request;
    request.exportName = "in process";
    request.arguments = arguments;
    request.handleSettings = &settings;
    request.readConfiguration = false;
    CallResult result = runCall(request);
    if (report != nullptr) {
        *report = std::move(result.report);
    }
    return result.code;
}
