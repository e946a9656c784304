// Stand-ins for the online service: the shared listening, framing and
// recording machinery of the directory and DBProxy servers.
#pragma once

#include "test-service/ConnectionLimit.h"
#include "test-service/Endpoint.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testservice {

using Bytes = std::vector<std::uint8_t>;

// Receives one human-readable line per event (request received, record
// decoded, reply sent). Called from server threads; may be empty.
using LogSink = std::function<void(const std::string&)>;

// Frames on the wire: u32 little-endian length counting its own 4 bytes,
// then the body. Longer frames than this are refused.
inline constexpr std::uint32_t maxFrameLength = 100000;

// How one reply frame leaves the server. The defaults send the body whole in
// one correctly framed write.
struct ReplyShaping {
    // The body is cut to this many bytes; the length field matches the cut
    // body, so the peer sees a well-formed but short message.
    std::optional<std::size_t> bodyLimit;
    // Sent instead of the true frame length (for example 100001 or
    // 0x80000000); the body follows unless frameLimit stops it.
    std::optional<std::uint32_t> lengthField;
    // Only this many bytes of the frame (length field included) are sent;
    // then the connection is closed, leaving the frame unfinished.
    std::optional<std::size_t> frameLimit;
    // Above zero: the frame goes out one byte per write with this pause
    // before each byte.
    std::chrono::milliseconds trickleDelay{0};
};

// Builds the bytes actually written for a body under a shaping.
Bytes shapeFrame(const Bytes& body, const ReplyShaping& shaping);

class Connection;

// What a server may hold. The defaults suit a test that inspects what the
// server received; the program turns the records off, since a service left
// running would keep every request it was ever sent.
struct ServerOptions {
    // requests() and the DBProxy's registrations() keep what arrived.
    bool keepRecords = true;
    // The user's text and the session key appear in the log.
    bool verbose = true;
    // A connection that sends no complete frame for this long is closed.
    std::chrono::milliseconds idleTimeout{30000};
    // A connection is closed this long after it was accepted, whatever it
    // sends, so that a client sending a frame now and then cannot hold its
    // slot for ever; 0 means no limit.
    std::chrono::milliseconds connectionLifetime{0};
    // Shared by the servers that draw on one budget; null gives the server a
    // limit of its own of defaultMaxConnections.
    std::shared_ptr<ConnectionLimit> connectionLimit;
};

// Listens on one IPv4 endpoint and serves each accepted connection on a
// thread of its own. Construction binds (and, unless told to refuse, listens)
// at once and throws std::system_error when it cannot; destruction stops
// every thread and closes every socket.
class Server {
  public:
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    virtual ~Server();

    std::uint16_t port() const { return boundPort; }
    const std::string& address() const { return boundAddress; }
    std::string endpointText() const; // "127.0.0.1:6003"

    // Connections accepted and served; those refused over the connection
    // limit are counted by the limit.
    std::size_t connectionCount() const;
    const ConnectionLimit& connectionLimit() const { return *limit; }
    // Every request frame received, in arrival order, exactly as it came off
    // the wire: the 4 length bytes followed by the body. A frame the server
    // refused (length below 4 or above the limit) or that the peer cut short
    // is recorded with the bytes that did arrive. Empty unless keepRecords.
    std::vector<Bytes> requests() const;
    void clearRecords();

    // Stops accepting, wakes every connection thread and joins them all.
    // Idempotent; derived destructors call it before their members go.
    void stop();

  protected:
    // kind names the server in its log lines ("directory", "dbproxy").
    // listening false: the port is bound but never listened on, so every
    // connect to it is refused while the port stays reserved.
    Server(std::string kind, const Endpoint& endpoint, bool listening, LogSink log,
           ServerOptions options);

    // Starts the accept thread; derived constructors call it last.
    void start();

    virtual void serve(Connection& connection) = 0;

    // "<UTC time> <client> <kind> <endpoint>: <event>", so that an operator
    // can tell clients apart and line the log up with other machines'.
    void log(const Connection& connection, const std::string& event) const;
    // Holds the connection without sending `reply` until the client gives
    // up, logging both ends of the stall.
    void stallWithout(Connection& connection, const std::string& reply) const;
    bool isListening() const { return listening; }
    const ServerOptions& options() const { return settings; }

  private:
    void acceptLoop();
    void reapFinished();
    void serveAccepted(int socketFd, const std::string& peer);
    std::string eventLine(const std::string& peer, const std::string& event) const;
    void logLine(const std::string& line) const;
    void recordRequest(const Bytes& frame);

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    LogSink logSink;
    std::string kindName;
    ServerOptions settings;
    std::shared_ptr<ConnectionLimit> limit;
    std::string boundAddress;
    std::uint16_t boundPort = 0;
    bool listening = true;
    int listenFd = -1;
    int stopFd = -1; // eventfd; readable once stop() has begun
    std::atomic<bool> stopping{false};
    std::thread acceptThread;
    std::mutex workersMutex;
    std::list<Worker> workers;

    mutable std::mutex recordsMutex;
    std::size_t connections = 0;
    std::vector<Bytes> received;
};

} // namespace testservice
