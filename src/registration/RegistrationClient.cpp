#include "registration/RegistrationClient.h"

#include <string>

void RegistrationClient::appendLog(std::string_view message)
{
    progressLog.appendLine(message);
}

bool RegistrationClient::logSocketError(SocketStatus status)
{
    if (status == ES_NO_ERROR) {
        return false;
    }
    appendLog(std::string("Socket error: ") + statusName(status));
    return true;
}
