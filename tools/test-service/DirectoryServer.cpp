#include "test-service/DirectoryServer.h"

#include "test-service/Connection.h"
#include "test-service/DirectoryRequest.h"
#include "test-service/Wire.h"

#include <stdexcept>

namespace testservice {

namespace {

using Mode = DirectoryBehaviour::Mode;

void appendEntry(Bytes& out, const DirectoryEntry& entry)
{
    const auto octets = parseIPv4(entry.address);
    append16le(out, static_cast<std::uint16_t>(entry.name.size()));
    for (const char unit : entry.name) {
        append16le(out, static_cast<std::uint8_t>(unit));
    }
    append8(out, entry.extra);
    out.push_back(static_cast<std::uint8_t>(entry.port >> 8));
    out.push_back(static_cast<std::uint8_t>(entry.port));
    out.insert(out.end(), octets.begin(), octets.end());
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
                                 DirectoryBehaviour initial, LogSink sink, ServerOptions options)
    : Server("directory", endpoint, initial.mode != Mode::refuse, std::move(sink),
             std::move(options)),
      entries(std::move(listed)), behaviour(std::move(initial))
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
    if (now.mode == Mode::closeAtOnce) {
        log(connection, "connection closed at once");
        return;
    }
    while (const auto frame = connection.receiveFrame()) {
        log(connection, describeDirectoryRequest(*frame));
        if (now.mode == Mode::stall) {
            stallWithout(connection, "a reply");
            return;
        }
        const Bytes body = buildDirectoryReply(listed, now);
        log(connection, "reply " + std::to_string(body.size()) + " bytes, status " +
                            std::to_string(now.status) + ", " + std::to_string(listed.size()) +
                            " entries");
        if (!connection.sendReply(body, now.shaping)) {
            return;
        }
    }
}

} // namespace testservice
