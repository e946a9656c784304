#include "registration/RegistrationClient.h"

#include "net/TimedSocket.h"
#include "wire/WireBuffer.h"

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

std::optional<WireBuffer> RegistrationClient::exchangeMessage(TimedSocket& socket,
                                                              const WireBuffer& request,
                                                              std::string_view sendingText,
                                                              std::string_view receivingText)
{
    appendLog(sendingText);
    if (logSocketError(socket.sendMessage(
            request.data(), static_cast<std::uint32_t>(request.size()), timeouts.sendMs))) {
        return std::nullopt;
    }
    appendLog(receivingText);
    if (logSocketError(socket.receiveMessage(timeouts.receiveMs))) {
        return std::nullopt;
    }
    return WireBuffer(socket.messageData(), socket.messageLength());
}
