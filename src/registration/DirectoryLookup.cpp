#include "net/TimedSocket.h"
#include "registration/LogText.h"
#include "registration/RegistrationClient.h"
#include "registration/ServerWalk.h"
#include "wire/ProtocolConstants.h"
#include "wire/WireBuffer.h"

#include <optional>
#include <span>
#include <string>

namespace {

WireBuffer getDirectoryRequest(std::u16string_view directoryPath)
{
    WireBuffer request;
    request.appendUInt8(Protocol::headerType)
        .appendUInt16(Protocol::directoryService)
        .appendUInt16(Protocol::getDirectoryRequest)
        .appendUInt32(Protocol::getDirectoryFixedWord)
        .appendUInt16(0)
        .appendWString(directoryPath)
        .appendUInt16(0);
    return request;
}

SocketAddress readEntryAddress(WireBuffer& reply)
{
    const std::span<const std::uint8_t, 2> port(reply.readBytes(2), 2);
    const std::span<const std::uint8_t, 4> address(reply.readBytes(4), 4);
    return SocketAddress(port, address);
}

// Entries are kept as they are read, so a reply cut short still leaves the
// ones before the cut for the exchange.
AttemptOutcome readDirectoryReply(RegistrationClient& client, WireBuffer& reply)
{
    const std::uint8_t replyHeader = reply.readUInt8();
    const std::uint16_t serviceType = reply.readUInt16();
    const std::uint16_t messageType = reply.readUInt16();
    if (replyHeader != Protocol::headerType || serviceType != Protocol::directoryService ||
        messageType != Protocol::getDirectoryReply) {
        client.appendLog("Invalid directory reply.  Header Type: " + signedText8(replyHeader) +
                         "  Service Type: " + signedText16(serviceType) +
                         "  Message Type: " + signedText16(messageType));
        return AttemptOutcome::nextServer;
    }
    const std::uint16_t status = reply.readUInt16();
    if (Protocol::isErrorStatus(status)) {
        client.failWithServerStatus("Directory Server Error: ", REGISTER_REASON_DIRECTORY_ERROR,
                                    status);
        return AttemptOutcome::stopped;
    }
    reply.readUInt8();
    reply.readUInt32();
    const std::uint16_t entryCount = reply.readUInt16();
    if (entryCount == 0) {
        client.appendLog("No DBProxy server listed in directory server.");
        client.fail(REGISTER_REASON_DIRECTORY_EMPTY);
        return AttemptOutcome::stopped;
    }
    std::u16string name;
    for (std::uint16_t i = 0; i < entryCount; ++i) {
        reply.readWString(name);
        reply.readUInt8();
        client.dbProxyAddresses.insert(readEntryAddress(reply));
    }
    return AttemptOutcome::succeeded;
}

} // namespace

bool RegistrationClient::getDBProxyAddresses(std::u16string_view directoryPath)
{
    appendLog("Getting DBProxy Addrs");
    if (directoryServers.empty()) {
        appendLog("No directory servers to connect to.");
        fail(REGISTER_REASON_DIRECTORY_UNREACHABLE);
        return false;
    }

    const WireBuffer request = getDirectoryRequest(directoryPath);
    const auto attempt = [&](const SocketAddress& server) {
        TimedSocket socket(SocketType::stream);
        if (!connectTo(socket, server)) {
            return AttemptOutcome::nextServer;
        }
        std::optional<WireBuffer> reply = exchangeMessage(
            socket, request, "Sending get directory request.", "Receiving directory reply.");
        return reply ? readDirectoryReply(*this, *reply) : AttemptOutcome::nextServer;
    };
    return walkServers(*this, directoryServers, attempt, "Invalid directory reply.  Unpack failed.",
                       "Failed all directory servers.", REGISTER_REASON_DIRECTORY_UNREACHABLE);
}
