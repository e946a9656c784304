// A directory server that answers the get-directory request with a list of
// DBProxy entries, or misbehaves in a chosen way.
#pragma once

#include "test-service/Server.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testservice {

struct DirectoryEntry {
    std::string name = "DBProxy"; // sent as UTF-16LE, one unit per byte
    std::uint16_t port = 0;       // sent most significant byte first
    std::string address;          // dotted IPv4, sent first octet first
    std::uint8_t extra = 0;       // the byte between the name and the port
};

struct DirectoryBehaviour {
    enum class Mode {
        answer,      // read the request, send the reply built below
        refuse,      // never listen: connects are refused (fixed at construction)
        closeAtOnce, // accept, then close without reading or replying
        stall,       // read the request, never reply; hold until the peer closes
    };
    Mode mode = Mode::answer;

    // Reply header and status. Defaults are the well-formed success reply;
    // any 16-bit status may be sent (0x8001 is an error, 0x0001 is not).
    std::uint8_t headerType = 5;
    std::uint16_t serviceType = 2;
    std::uint16_t messageType = 3;
    std::uint16_t status = 0;
    std::uint8_t passedOverByte = 0;
    std::uint32_t passedOverWord = 0;

    // Sent instead of the true number of entries.
    std::optional<std::uint16_t> entryCount;
    // The body ends inside entry k (0-based): after the first byte of its
    // name length. Entries before k arrive whole.
    std::optional<std::size_t> cutInsideEntry;
    // Bytes after the last entry.
    Bytes trailer;
    // Replaces the whole reply body built from the fields above.
    std::optional<Bytes> rawBody;

    // Frame-level shaping: oversize length fields, cut frames, trickling.
    ReplyShaping shaping;
};

// The reply body for these entries under this behaviour (rawBody and
// cutInsideEntry applied; the frame shaping not).
Bytes buildDirectoryReply(const std::vector<DirectoryEntry>& entries,
                          const DirectoryBehaviour& behaviour);

class DirectoryServer : public Server {
  public:
    // Entries are listed in the order given, duplicates included.
    DirectoryServer(const Endpoint& endpoint, std::vector<DirectoryEntry> entries,
                    DirectoryBehaviour behaviour = {}, LogSink log = {},
                    ServerOptions options = {});
    ~DirectoryServer() override;

    // Take effect for the next connection. A server constructed to refuse
    // stays refusing, and one that listens cannot be switched to refuse
    // (std::logic_error).
    void setEntries(std::vector<DirectoryEntry> entries);
    void setBehaviour(DirectoryBehaviour behaviour);

  protected:
    void serve(Connection& connection) override;

  private:
    mutable std::mutex configMutex;
    std::vector<DirectoryEntry> entries;
    DirectoryBehaviour behaviour;
};

} // namespace testservice
