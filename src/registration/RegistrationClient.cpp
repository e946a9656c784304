#include "registration/RegistrationClient.h"

#include "common/SecureWipe.h"
#include "net/CallControl.h"
#include "net/TimedSocket.h"
#include "registration/LogText.h"
#include "wire/WireBuffer.h"

#include <string>

RegistrationClient::~RegistrationClient()
{
    secureWipe(registrationText);
    secureWipe(resultString);
}

void RegistrationClient::appendLog(std::string_view message)
{
    progressLog.appendLine(message);
}

bool RegistrationClient::logSocketError(SocketStatus status)
{
    if (status == ES_NO_ERROR) {
        return false;
    }
    // A cancel is no socket failure; the walk says what happened.
    if (status == cancelledStatus) {
        return true;
    }
    failure.socketStatus = status;
    appendLog(std::string("Socket error: ") + statusName(status));
    return true;
}

bool RegistrationClient::interrupted()
{
    if (failure.reason == REGISTER_REASON_CANCELLED ||
        failure.reason == REGISTER_REASON_DEADLINE_EXPIRED) {
        return true;
    }
    if (control == nullptr) {
        return false;
    }
    if (control->cancelled()) {
        appendLog("Cancelled by the host.");
        fail(REGISTER_REASON_CANCELLED);
        return true;
    }
    if (control->expired()) {
        appendLog("Deadline expired.");
        fail(REGISTER_REASON_DEADLINE_EXPIRED);
        return true;
    }
    return false;
}

bool RegistrationClient::connectTo(TimedSocket& socket, const SocketAddress& server)
{
    socket.setControl(control);
    appendLog("Connecting to " + server.ipText());
    return !logSocketError(socket.connect(server, timeouts.connectMs));
}

void RegistrationClient::fail(RegisterReason reason, std::int16_t serverStatus)
{
    failure.reason = reason;
    failure.serverStatus = serverStatus;
}

void RegistrationClient::failWithServerStatus(std::string_view text, RegisterReason reason,
                                              std::uint16_t status)
{
    appendLog(std::string(text) + signedText16(status));
    fail(reason, static_cast<std::int16_t>(status));
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
