#pragma once

#include "common/ByteString.h"
#include "net/CallControl.h"
#include "net/SocketAddress.h"
#include "net/SocketStatus.h"
#include "platform/Platform.h"

#include <cstdint>

enum class SocketType : std::int32_t { stream = 0, datagram = 1 };

// Milliseconds left of timeoutMs counted from startTick, in wrapping 32-bit
// tick arithmetic so that a tick-count wrap in between does no harm; 0 once
// the time is spent.
std::int32_t remainingTime(std::uint32_t timeoutMs, std::uint32_t startTick);

// What an operation returns when its CallControl was cancelled. It is no
// socket failure and has no name of its own: callers test for it by value.
inline constexpr SocketStatus cancelledStatus = static_cast<SocketStatus>(-110);

// One non-blocking IPv4 socket whose operations block for at most a given
// number of milliseconds and never throw. On a stream socket messages travel
// in frames: a 32-bit little-endian length that counts its own 4 bytes, then
// the body; frames longer than maxFrameLength are refused.
//
// The socket library must have been started (startSockets) before use. One
// thread owns an instance; there are no locks.
class TimedSocket {
  public:
    static constexpr std::uint32_t maxFrameLength = 100000;

    explicit TimedSocket(SocketType kind = SocketType::stream);
    virtual ~TimedSocket();
    TimedSocket(const TimedSocket&) = delete;
    TimedSocket& operator=(const TimedSocket&) = delete;

    bool isOpen() const { return handle != Platform::invalidSocket; }
    // With a control, every wait is cut short by its deadline and every
    // operation stops with cancelledStatus once it is cancelled, before
    // anything more is sent. Without one (the default) each wait is a single
    // platform wait of the full timeout.
    void setControl(const CallControl* callControl) { control = callControl; }
    // Closes the socket first if the kind changes.
    virtual void setType(SocketType kind);

    SocketStatus open();
    // A stream connect always starts on a fresh OS socket. With timeout 0, or
    // on a datagram socket, it returns at once and the handshake may still
    // be under way.
    SocketStatus connect(const SocketAddress& address, std::uint32_t timeoutMs);
    SocketStatus waitConnect(std::uint32_t timeoutMs);
    bool waitWritable(std::uint32_t timeoutMs);
    bool waitReadable(std::uint32_t timeoutMs);

    // A shortfall when the time runs out is ES_TIMED_OUT. A timeout of 0
    // makes exactly one attempt. The out counts are optional.
    SocketStatus sendBytes(const std::uint8_t* data, std::int32_t length, std::int32_t* sent,
                           std::uint32_t timeoutMs);
    // ES_TIMED_OUT when nothing arrived, ES_INCOMPLETE_RECV when a stream
    // got only part, ES_SHUTDOWN when the peer closed before any byte. A
    // datagram socket takes one datagram per call.
    SocketStatus receiveBytes(std::uint8_t* buffer, std::int32_t length, std::int32_t* received,
                              std::uint32_t timeoutMs);

    // Prefix and body go out in two sends; nothing is copied. On a stream
    // the prefix send tells the OS that the body follows.
    SocketStatus sendMessage(const std::uint8_t* body, std::uint32_t length,
                             std::uint32_t timeoutMs);
    // Receives one frame into the message buffer. A frame that arrives only
    // in part gives ES_TIMED_OUT and keeps what came; the next call resumes
    // it. ES_MESSAGE_TOO_BIG refuses a frame for good: close before
    // receiving again. Stream sockets only (else ES_DATAGRAM_NOT_ALLOWED).
    SocketStatus receiveMessage(std::uint32_t timeoutMs);

    // The body of the last complete frame. It belongs to the socket and
    // stays valid, also after close, until the length prefix of the next
    // frame has been received. The length is 0 while a frame is under way.
    const std::uint8_t* messageData() const { return messageBuffer.data(); }
    std::uint32_t messageLength() const;
    // Bytes of the current frame received so far, prefix included; 0
    // between frames.
    std::uint32_t receiveProgress() const { return progress; }

    // A datagram socket keeps its handle when the association can be
    // dissolved; everything else is closed.
    void disconnect();
    void close();

  private:
    bool isCancelled() const { return control != nullptr && control->cancelled(); }
    // remainingTime, cut short by the control's deadline.
    std::int32_t timeLeft(std::uint32_t timeoutMs, std::uint32_t startTick) const;
    Platform::WaitResult wait(Platform::WaitSets watch, std::uint32_t timeoutMs);
    SocketStatus finishReceive(SocketStatus status, std::int32_t count);
    SocketStatus sendRange(const std::uint8_t* data, std::int32_t length, std::int32_t* sent,
                           std::uint32_t timeoutMs, Platform::SendHint hint);

    Platform::SocketHandle handle = Platform::invalidSocket;
    SocketType type;
    ByteString messageBuffer;
    // The frame length while a frame arrives, the body length after it.
    std::uint32_t lengthField = 0;
    std::uint32_t progress = 0;
    std::uint8_t prefixWidth = 4;
    SocketAddress peerAddress;
    bool connected = false;
    const CallControl* control = nullptr;
};
