#include "test-service/DirectoryServer.h"

#include "test-service/Connection.h"
#include "test-service/Wire.h"

#include <arpa/inet.h>
#include <stdexcept>

namespace testservice {

namespace {

using Mode = DirectoryBehaviour::Mode;

void appendEntry(Bytes& out, const DirectoryEntry& entry)
{
    in_addr address{};
    if (inet_pton(AF_INET, entry.address.c_str(), &address) != 1) {
        throw std::invalid_argument("directory entry address is not dotted IPv4: \"" +
                                    entry.address + "\"");
    }
    append16le(out, static_cast<std::uint16_t>(entry.name.size()));
    for (const char unit : entry.name) {
        append16le(out, static_cast<std::uint8_t>(unit));
    }
    append8(out, entry.extra);
    out.push_back(static_cast<std::uint8_t>(entry.port >> 8));
    out.push_back(static_cast<std::uint8_t>(entry.port));
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
    out.insert(out.end(), octets, octets + 4);
}

std::string describeRequest(const Bytes& frame)
{
    std::string text = "get-directory request, frame length " +
                       std::to_string(FieldReader(frame).read32le()) + ", " +
                       std::to_string(frame.size() - 4) + " body bytes";
    try {
        FieldReader reader(frame, 4);
        const unsigned header = reader.read8();
        const unsigned service = reader.read16le();
        const unsigned message = reader.read16le();
        const std::uint32_t fixedWord = reader.read32le();
        const unsigned fixedZero = reader.read16le();
        const std::size_t units = reader.read16le();
        std::string path;
        for (std::size_t i = 0; i < units; ++i) {
            const std::uint16_t unit = reader.read16le();
            path += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        const unsigned endZero = reader.read16le();
        text += ": header " + std::to_string(header) + "/" + std::to_string(service) + "/" +
                std::to_string(message) + ", path \"" + path + "\"";
        if (header != 5 || service != 2 || message != 103 || fixedWord != 0x06000002 ||
            fixedZero != 0 || endZero != 0) {
            text += " (malformed fixed fields)";
        }
        if (reader.remaining() != 0) {
            text += " (" + std::to_string(reader.remaining()) + " trailing bytes)";
        }
    } catch (const ShortMessage&) {
        text += " (too short to decode)";
    }
    return text;
}

} // namespace

Bytes buildDirectoryReply(const std::vector<DirectoryEntry>& entries,
                          const DirectoryBehaviour& behaviour)
{
    if (behaviour.rawBody) {
        return *behaviour.rawBody;
    }
    Bytes body;
    append8(body, behaviour.headerType);
    append16le(body, behaviour.serviceType);
    append16le(body, behaviour.messageType);
    append16le(body, behaviour.status);
    append8(body, behaviour.passedOverByte);
    append32le(body, behaviour.passedOverWord);
    append16le(body, behaviour.entryCount ? *behaviour.entryCount
                                          : static_cast<std::uint16_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (behaviour.cutInsideEntry && *behaviour.cutInsideEntry == i) {
            body.push_back(static_cast<std::uint8_t>(entries[i].name.size()));
            return body;
        }
        appendEntry(body, entries[i]);
    }
    appendBytes(body, behaviour.trailer);
    return body;
}

DirectoryServer::DirectoryServer(const Endpoint& endpoint, std::vector<DirectoryEntry> listed,
                                 DirectoryBehaviour initial, LogSink sink)
    : Server(endpoint, initial.mode != Mode::refuse, std::move(sink)), entries(std::move(listed)),
      behaviour(std::move(initial))
{
    buildDirectoryReply(entries, behaviour); // refuses bad addresses now, not per connection
    start();
}

DirectoryServer::~DirectoryServer()
{
    stop();
}

void DirectoryServer::setEntries(std::vector<DirectoryEntry> listed)
{
    std::lock_guard lock(configMutex);
    buildDirectoryReply(listed, behaviour);
    entries = std::move(listed);
}

void DirectoryServer::setBehaviour(DirectoryBehaviour changed)
{
    if ((changed.mode == Mode::refuse) == isListening()) {
        throw std::logic_error("a directory server refuses or listens for its whole life");
    }
    std::lock_guard lock(configMutex);
    buildDirectoryReply(entries, changed);
    behaviour = std::move(changed);
}

void DirectoryServer::serve(Connection& connection)
{
    DirectoryBehaviour now;
    std::vector<DirectoryEntry> listed;
    {
        std::lock_guard lock(configMutex);
        now = behaviour;
        listed = entries;
    }
    const std::string where = "directory " + endpointText() + ": ";
    if (now.mode == Mode::closeAtOnce) {
        log(where + "connection closed at once");
        return;
    }
    while (const auto frame = connection.receiveFrame()) {
        log(where + describeRequest(*frame));
        if (now.mode == Mode::stall) {
            log(where + "stalling without a reply");
            if (connection.holdUntilPeerCloses()) {
                log(where + "peer closed the connection");
            }
            return;
        }
        const Bytes body = buildDirectoryReply(listed, now);
        log(where + "reply " + std::to_string(body.size()) + " bytes, status " +
            std::to_string(now.status) + ", " + std::to_string(listed.size()) + " entries");
        if (!connection.sendReply(body, now.shaping)) {
            return;
        }
    }
}

} // namespace testservice
