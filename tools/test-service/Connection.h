// One accepted connection, served on its own thread. Every wait also watches
// the server's stop event, so stop() never waits on a silent peer, and every
// wait for the peer is bounded by the idle timeout, so a vanished or hostile
// client cannot hold a thread for longer.
#pragma once

#include "test-service/Server.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace testservice {

class Connection {
  public:
    using Recorder = std::function<void(const Bytes&)>;

    // Why the connection stopped being served.
    enum class End {
        open,
        peerClosed,   // or failed
        stopped,      // the server is stopping
        idle,         // no complete frame within the idle timeout
        refused,      // a frame length below 4 or above the limit
        lifetimeOver, // open for the whole connection lifetime
    };

    // recorder may be empty: nothing is recorded. A lifetime of 0 is none.
    Connection(int socketFd, int stopEventFd, std::string peer,
               std::chrono::milliseconds idleTimeout, std::chrono::milliseconds lifetime,
               Recorder recorder);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Closes gracefully: the write side is shut first and the socket is
    // drained until the peer closes, so that unread request bytes never turn
    // the close into a reset and the peer always sees an orderly end. An idle
    // connection is closed at once instead: its peer is not listening.
    ~Connection();

    // "a.b.c.d:port" of the client.
    const std::string& peer() const { return peerText; }
    // "a.b.c.d", the client's address alone.
    std::string address() const { return peerText.substr(0, peerText.rfind(':')); }
    End end() const { return ended; }

    // One complete frame, length field included; nullopt when the
    // connection ended (see end()). Whatever arrived of a frame is handed to
    // the recorder.
    std::optional<Bytes> receiveFrame();

    // False when the connection is not to be used any further (the shaping
    // cut the frame, or the write failed or did not finish within the idle
    // timeout).
    bool sendReply(const Bytes& body, const ReplyShaping& shaping);

    // Waits until the peer closes (true), the server stops or the idle
    // timeout passes (false).
    bool holdUntilPeerCloses();

  private:
    using Clock = std::chrono::steady_clock;
    enum class Wait { ready, peerClosedOrFailed, stopped, timedOut };
    Wait waitFor(short events, std::chrono::milliseconds timeout);
    Wait waitUntil(short events, Clock::time_point deadline);
    bool receiveExactly(Bytes& into, std::size_t count);
    bool sendAll(const std::uint8_t* data, std::size_t count);
    // Reads and discards until the peer closes (true), or until the server
    // stops or the deadline passes (false).
    bool drainUntil(Clock::time_point deadline);
    void endAs(Wait wait);
    // The deadline, or the end of the connection's lifetime if that is sooner.
    Clock::time_point withinLifetime(Clock::time_point deadline) const
    {
        return std::min(deadline, lifetimeDeadline);
    }

    int fd;
    int stopFd;
    std::string peerText;
    std::chrono::milliseconds idleTimeout;
    Clock::time_point idleDeadline;
    Clock::time_point lifetimeDeadline;
    Recorder record;
    End ended = End::open;
};

} // namespace testservice
