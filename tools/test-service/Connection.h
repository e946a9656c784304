// One accepted connection, served on its own thread. Every wait also watches
// the server's stop event, so stop() never waits on a silent peer.
#pragma once

#include "test-service/Server.h"

#include <chrono>
#include <functional>
#include <optional>

namespace testservice {

class Connection {
  public:
    using Recorder = std::function<void(const Bytes&)>;

    Connection(int socketFd, int stopEventFd, Recorder recorder);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Closes gracefully: the write side is shut first and the socket is
    // drained until the peer closes, so that unread request bytes never turn
    // the close into a reset and the peer always sees an orderly end.
    ~Connection();

    // One complete frame, length field included; nullopt when the peer
    // closed, the server stopped, or the frame length is below 4 or above
    // the limit. Whatever arrived of a frame is handed to the recorder.
    std::optional<Bytes> receiveFrame();

    // False when the connection is not to be used any further (the shaping
    // cut the frame, or the write failed).
    bool sendReply(const Bytes& body, const ReplyShaping& shaping);

    // Waits until the peer closes (true) or the server stops (false).
    bool holdUntilPeerCloses();

  private:
    enum class Wait { ready, peerClosedOrFailed, stopped, timedOut };
    Wait waitFor(short events, std::chrono::milliseconds timeout);
    bool receiveExactly(Bytes& into, std::size_t count);
    bool sendAll(const std::uint8_t* data, std::size_t count);

    int fd;
    int stopFd;
    Recorder record;
};

} // namespace testservice
