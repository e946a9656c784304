#include "net/TimedSocket.h"
#include "registration/LogText.h"
#include "registration/RegistrationClient.h"
#include "registration/ServerWalk.h"
#include "wire/WireBuffer.h"

#include <optional>
#include <string>

namespace {

constexpr std::uint8_t headerType = 5;
constexpr std::uint16_t directoryServiceType = 2;
constexpr std::uint16_t getDirectoryRequestType = 103;
constexpr std::uint16_t getDirectoryReplyType = 3;
constexpr std::uint32_t getDirectoryFixedWord = 0x06000002;
constexpr std::uint16_t errorBit = 0x8000;

WireBuffer getDirectoryRequest(std::u16string_view directoryPath)
{
    WireBuffer request;
    request.appendUInt8(headerType)
        .appendUInt16(directoryServiceType)
        .appendUInt16(getDirectoryRequestType)
        .appendUInt32(getDirectoryFixedWord)
        .appendUInt16(0)
        .appendWString(directoryPath)
        .appendUInt16(0);
    return request;
}

// The directory lists ports and addresses in network byte order, which is
// the order the socket-address record keeps them in.
SocketAddress entryAddress(const std::uint8_t* port, const std::uint8_t* address)
{
    Platform::SocketAddressRecord image{};
    image[0] = 2;
    image[2] = port[0];
    image[3] = port[1];
    for (std::size_t i = 0; i < 4; ++i) {
        image[4 + i] = address[i];
    }
    return SocketAddress(image);
}

enum class Outcome { listed, nextServer, stop };

} // namespace

bool RegistrationClient::getDBProxyAddresses(std::u16string_view directoryPath)
{
    appendLog("Getting DBProxy Addrs");
    if (directoryServers.empty()) {
        appendLog("No directory servers to connect to.");
        fail(FailureReason::directoryUnreachable);
        return false;
    }

    auto attempt = [&](const SocketAddress& server) -> AttemptOutcome {
        TimedSocket socket(SocketType::stream);
        if (!connectTo(socket, server)) {
            return AttemptOutcome::nextServer;
        }
        std::optional<WireBuffer> reply =
            exchangeMessage(socket, getDirectoryRequest(directoryPath),
                            "Sending get directory request.", "Receiving directory reply.");
        if (!reply) {
            return AttemptOutcome::nextServer;
        }

        const std::uint8_t replyHeader = reply->readUInt8();
        const std::uint16_t serviceType = reply->readUInt16();
        const std::uint16_t messageType = reply->readUInt16();
        if (replyHeader != headerType || serviceType != directoryServiceType ||
            messageType != getDirectoryReplyType) {
            appendLog("Invalid directory reply.  Header Type: " + signedText8(replyHeader) +
                      "  Service Type: " + signedText16(serviceType) +
                      "  Message Type: " + signedText16(messageType));
            return AttemptOutcome::nextServer;
        }
        const std::uint16_t status = reply->readUInt16();
        if ((status & errorBit) != 0) {
            appendLog("Directory Server Error: " + signedText16(status));
            fail(FailureReason::directoryError, static_cast<std::int16_t>(status));
            return AttemptOutcome::stopped;
        }
        reply->readUInt8();
        reply->readUInt32();
        const std::uint16_t entryCount = reply->readUInt16();
        if (entryCount == 0) {
            appendLog("No DBProxy server listed in directory server.");
            fail(FailureReason::directoryEmpty);
            return AttemptOutcome::stopped;
        }
        std::u16string name;
        for (std::uint16_t i = 0; i < entryCount; ++i) {
            reply->readWString(name);
            reply->readUInt8();
            const std::uint8_t* port = reply->readBytes(2);
            const std::uint8_t* address = reply->readBytes(4);
            dbProxyAddresses.insert(entryAddress(port, address));
        }
        return AttemptOutcome::succeeded;
    };
    return walkServers(*this, directoryServers, attempt, "Invalid directory reply.  Unpack failed.",
                       "Failed all directory servers.", FailureReason::directoryUnreachable);
}
