// TimedSocket against real loopback peers: the framing, the statuses a peer
// can provoke, and the datagram kind.

#include "net/LoopbackPeer.h"
#include "net/SocketLibrary.h"
#include "net/TimedSocket.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t shortWait = 100;
constexpr std::uint32_t longWait = 5000;

ByteString frame(std::uint32_t length, const ByteString& body)
{
    ByteString bytes = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                        static_cast<std::uint8_t>(length >> 16),
                        static_cast<std::uint8_t>(length >> 24)};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

ByteString pattern(std::size_t size)
{
    ByteString bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return bytes;
}

ByteString received(const TimedSocket& socket)
{
    return ByteString(socket.messageData(), socket.messageData() + socket.messageLength());
}

struct SocketLibraryScope {
    SocketLibraryScope() { EXPECT_EQ(startSockets(), 0); }
    ~SocketLibraryScope() { stopSockets(); }
};

// A stream socket under test, connected to a blocking loopback peer.
struct ConnectedPair {
    ConnectedPair()
    {
        EXPECT_EQ(socket.connect(listener.address(), longWait), ES_NO_ERROR);
        peer = listener.accept();
    }

    TcpListener listener;
    TimedSocket socket{SocketType::stream};
    PeerSocket peer;
};

struct FrameCase {
    const char* name;
    ByteString wire;
    bool peerCloses;
    SocketStatus status;
    std::uint32_t progress;
    ByteString body;
};

TEST(TimedSocketLoopback, ReceiveMessageOutcomes)
{
    SocketLibraryScope library;
    const ByteString ten = pattern(10);
    const std::vector<FrameCase> cases = {
        {"whole frame", frame(14, ten), false, ES_NO_ERROR, 0, ten},
        {"empty body", frame(4, {}), false, ES_NO_ERROR, 0, {}},
        {"nothing sent", {}, false, ES_TIMED_OUT, 0, {}},
        {"closed before any byte", {}, true, ES_SHUTDOWN, 0, {}},
        {"closed inside the prefix", {0x0E, 0x00}, true, ES_TIMED_OUT, 2, {}},
        {"closed after half a body", ByteString(frame(14, pattern(5))), true, ES_TIMED_OUT, 9, {}},
        {"stalls after half a body", ByteString(frame(14, pattern(5))), false, ES_TIMED_OUT, 9, {}},
        {"100,001 refused", frame(100001, {}), false, ES_MESSAGE_TOO_BIG, 4, {}},
        {"top bit set", frame(0x8000000Eu, ten), false, ES_MESSAGE_TOO_BIG, 4, {}},
        {"all ones", frame(0xFFFFFFFFu, ten), false, ES_MESSAGE_TOO_BIG, 4, {}},
        {"length 0", frame(0, ten), false, ES_MESSAGE_TOO_BIG, 4, {}},
        {"length 3", frame(3, ten), false, ES_MESSAGE_TOO_BIG, 4, {}},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectedPair pair;
        TimedSocket& socket = pair.socket;
        PeerSocket& peer = pair.peer;
        peer.sendAll(c.wire);
        if (c.peerCloses) {
            peer.close();
        }
        EXPECT_EQ(socket.receiveMessage(shortWait), c.status);
        EXPECT_EQ(socket.receiveProgress(), c.progress);
        EXPECT_EQ(received(socket), c.body);
        if (c.status == ES_MESSAGE_TOO_BIG) {
            // A refused frame stays refused, whatever else arrives.
            peer.sendAll(pattern(200));
            EXPECT_EQ(socket.receiveMessage(shortWait), ES_MESSAGE_TOO_BIG);
            EXPECT_EQ(socket.messageLength(), 0u);
        }
    }
}

TEST(TimedSocketLoopback, LargestFrameAndBackToBackFrames)
{
    SocketLibraryScope library;
    ConnectedPair pair;
    TimedSocket& socket = pair.socket;
    PeerSocket& peer = pair.peer;
    const ByteString largest = pattern(99996);
    ByteString wire = frame(100000, largest);
    const ByteString small = pattern(3);
    const ByteString next = frame(7, small);
    wire.insert(wire.end(), next.begin(), next.end());
    std::thread sender([&] { peer.sendAll(wire); });
    EXPECT_EQ(socket.receiveMessage(longWait), ES_NO_ERROR);
    EXPECT_EQ(received(socket), largest);
    EXPECT_EQ(socket.receiveMessage(longWait), ES_NO_ERROR);
    EXPECT_EQ(received(socket), small);
    sender.join();
}

TEST(TimedSocketLoopback, FrameResumesAcrossCalls)
{
    SocketLibraryScope library;
    ConnectedPair pair;
    TimedSocket& socket = pair.socket;
    PeerSocket& peer = pair.peer;
    const ByteString body = pattern(10);
    const ByteString wire = frame(14, body);
    peer.sendAll(ByteString(wire.begin(), wire.begin() + 2));
    EXPECT_EQ(socket.receiveMessage(shortWait), ES_TIMED_OUT);
    EXPECT_EQ(socket.receiveProgress(), 2u);
    peer.sendAll(ByteString(wire.begin() + 2, wire.begin() + 9));
    EXPECT_EQ(socket.receiveMessage(shortWait), ES_TIMED_OUT);
    EXPECT_EQ(socket.receiveProgress(), 9u);
    peer.sendAll(ByteString(wire.begin() + 9, wire.end()));
    EXPECT_EQ(socket.receiveMessage(shortWait), ES_NO_ERROR);
    EXPECT_EQ(received(socket), body);
    EXPECT_EQ(socket.receiveProgress(), 0u);
}

TEST(TimedSocketLoopback, SendMessagePutsLengthPrefixedFrames)
{
    SocketLibraryScope library;
    ConnectedPair pair;
    TimedSocket& socket = pair.socket;
    PeerSocket& peer = pair.peer;
    const ByteString body = pattern(10);
    EXPECT_EQ(socket.sendMessage(body.data(), 10, shortWait), ES_NO_ERROR);
    EXPECT_EQ(socket.sendMessage(nullptr, 0, shortWait), ES_NO_ERROR);
    socket.close();
    ByteString expected = {0x0E, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), body.begin(), body.end());
    expected.insert(expected.end(), {0x04, 0x00, 0x00, 0x00});
    EXPECT_EQ(peer.receiveUpTo(expected.size() + 1), expected);
}

// The prefix send tells the OS that the body follows; every frame must still
// reach the peer while the socket stays open, and a datagram socket must
// still send the prefix and the body as datagrams of their own.
TEST(TimedSocketLoopback, FramesLeaveWithoutWaitingForMore)
{
    SocketLibraryScope library;
    const ByteString body = pattern(10);
    const struct {
        const char* name;
        std::vector<ByteString> bodies;
    } cases[] = {
        {"one frame", {body}},
        {"empty body", {{}}},
        {"frames back to back", {body, {}, pattern(3)}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ConnectedPair pair;
        // Linux sends a held-back prefix after 200 ms anyway; that delay on every
        // empty message would be the fault.
        pair.peer.setReceiveTimeout(static_cast<int>(shortWait));
        ByteString expected;
        for (const ByteString& next : row.bodies) {
            EXPECT_EQ(pair.socket.sendMessage(next.data(), static_cast<std::uint32_t>(next.size()),
                                              shortWait),
                      ES_NO_ERROR);
            const ByteString framed = frame(static_cast<std::uint32_t>(next.size() + 4), next);
            expected.insert(expected.end(), framed.begin(), framed.end());
        }
        EXPECT_EQ(pair.peer.receiveUpTo(expected.size()), expected);
    }

    UdpPeer peer;
    TimedSocket datagram(SocketType::datagram);
    ASSERT_EQ(datagram.connect(peer.address(), longWait), ES_NO_ERROR);
    EXPECT_EQ(datagram.sendMessage(body.data(), 10, shortWait), ES_NO_ERROR);
    ASSERT_EQ(peer.receive(), frame(14, {}));
    EXPECT_EQ(peer.receive(), body);
}

TEST(TimedSocketLoopback, PeerResetAndByteCounts)
{
    SocketLibraryScope library;
    ConnectedPair pair;
    TimedSocket& socket = pair.socket;
    PeerSocket& peer = pair.peer;
    ByteString buffer(8);
    std::int32_t count = -1;
    peer.sendAll(pattern(3));
    EXPECT_EQ(socket.receiveBytes(buffer.data(), 8, &count, shortWait), ES_INCOMPLETE_RECV);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(socket.sendBytes(buffer.data(), 8, &count, shortWait), ES_NO_ERROR);
    EXPECT_EQ(count, 8);
    peer.reset();
    EXPECT_EQ(socket.receiveBytes(buffer.data(), 8, &count, shortWait),
              resetReadsAsOrderlyClose() ? ES_SHUTDOWN : ES_WSAECONNRESET);
}

TEST(TimedSocketConnect, RefusedZeroTimeoutAndNoHandle)
{
    SocketLibraryScope library;
    TimedSocket socket(SocketType::stream);
    std::uint8_t byte = 0;
    std::int32_t count = 42;
    EXPECT_EQ(socket.sendBytes(&byte, 1, &count, 0), ES_INVALID_SOCKET);
    EXPECT_EQ(socket.receiveBytes(&byte, 1, &count, 0), ES_INVALID_SOCKET);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(socket.waitConnect(0), ES_INVALID_SOCKET);
    EXPECT_FALSE(socket.waitWritable(0));
    EXPECT_FALSE(socket.waitReadable(0));
    EXPECT_EQ(socket.receiveMessage(0), ES_INVALID_SOCKET);

    EXPECT_EQ(socket.connect(closedLoopbackAddress(), longWait), ES_WSAECONNREFUSED);
    EXPECT_TRUE(socket.isOpen());
    // An address that never resolved fails in the platform's connect.
    EXPECT_EQ(socket.connect(SocketAddress(), longWait), ES_WSAEAFNOSUPPORT);

    TcpListener listener;
    EXPECT_EQ(socket.connect(listener.address(), 0), ES_NO_ERROR);
    EXPECT_EQ(socket.waitConnect(longWait), ES_NO_ERROR);
    socket.close();
    EXPECT_FALSE(socket.isOpen());
}

TEST(TimedSocketDatagram, OneDatagramPerReceiveAndNoFraming)
{
    SocketLibraryScope library;
    UdpPeer peer;
    TimedSocket socket(SocketType::datagram);
    EXPECT_EQ(socket.receiveMessage(0), ES_DATAGRAM_NOT_ALLOWED);
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.connect(peer.address(), longWait), ES_NO_ERROR);
    const ByteString hello = pattern(5);
    EXPECT_EQ(socket.sendBytes(hello.data(), 5, nullptr, shortWait), ES_NO_ERROR);
    EXPECT_EQ(peer.receive(), hello);
    peer.reply(pattern(3));
    peer.reply(pattern(2));
    ByteString buffer(16);
    std::int32_t count = 0;
    EXPECT_EQ(socket.receiveBytes(buffer.data(), 16, &count, longWait), ES_NO_ERROR);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(socket.receiveBytes(buffer.data(), 16, &count, longWait), ES_NO_ERROR);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(socket.receiveBytes(buffer.data(), 16, &count, 0), ES_TIMED_OUT);
    EXPECT_EQ(count, 0);

    socket.disconnect();
    EXPECT_TRUE(socket.isOpen());
    socket.setType(SocketType::datagram);
    EXPECT_TRUE(socket.isOpen());
    socket.setType(SocketType::stream);
    EXPECT_FALSE(socket.isOpen());
}

} // namespace
