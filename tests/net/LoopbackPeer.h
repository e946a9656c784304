#pragma once

// Blocking peers on 127.0.0.1 for the socket under test. They use the OS
// directly (not the library's seam), so a fault in the seam cannot hide
// itself on both ends of a connection.

#include "common/ByteString.h"
#include "net/SocketAddress.h"

#include <cstdint>

class PeerSocket {
  public:
    PeerSocket() = default;
    explicit PeerSocket(std::intptr_t accepted) : descriptor(accepted) {}
    PeerSocket(PeerSocket&& other) noexcept;
    PeerSocket& operator=(PeerSocket&& other) noexcept;
    ~PeerSocket();

    void sendAll(const ByteString& bytes);
    // Up to count bytes; fewer when the other end closes first.
    ByteString receiveUpTo(std::size_t count);
    // Makes a receive that waits longer than this fail instead of hanging.
    void setReceiveTimeout(int milliseconds);
    void close();
    // Closes with an immediate reset instead of an orderly shutdown.
    void reset();

  private:
    std::intptr_t descriptor = -1;
};

class TcpListener {
  public:
    TcpListener();
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    SocketAddress address() const;
    PeerSocket accept();
    void close();

  private:
    std::intptr_t descriptor = -1;
    std::uint16_t port = 0;
};

class UdpPeer {
  public:
    UdpPeer();
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    SocketAddress address() const;
    // One datagram; its sender becomes the target of reply().
    ByteString receive();
    void reply(const ByteString& bytes);

  private:
    std::intptr_t descriptor = -1;
    std::uint16_t port = 0;
    unsigned char lastSender[16] = {};
};

// A loopback address on which nothing listens.
SocketAddress closedLoopbackAddress();

// Whether this Windows program runs under Wine, whose Winsock differs from
// Windows' in places.
bool runningUnderWine();

// Whether a receive from a peer that reset the connection reports an orderly
// close. Wine's does (its recv returns 0); Windows and Linux fail with
// WSAECONNRESET / ECONNRESET.
bool resetReadsAsOrderlyClose();
