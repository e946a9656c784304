// Where a POSIX kernel and Winsock disagree, every backend gives Windows'
// answer; real loopback sockets provoke each case, natively and under Wine.

#include "net/LoopbackPeer.h"
#include "net/SocketLibrary.h"
#include "net/TimedSocket.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>

namespace {

constexpr std::uint32_t shortWait = 100;
// Ample for loopback, yet short where Wine never shows an answer.
constexpr std::uint32_t answerWait = 1000;

struct RefusedStream {
    RefusedStream()
    {
        EXPECT_EQ(socket.connect(closedLoopbackAddress(), answerWait), ES_WSAECONNREFUSED);
    }
    TimedSocket socket;
};

// A datagram socket that sent a byte to a peer, or to where one just was.
struct Datagram {
    explicit Datagram(bool peerStays)
    {
        const SocketAddress target = peerStays ? peer.address() : UdpPeer().address();
        EXPECT_EQ(socket.connect(target, answerWait), ES_NO_ERROR);
        EXPECT_EQ(socket.sendBytes(&byte, 1, nullptr, answerWait), ES_NO_ERROR);
    }
    UdpPeer peer;
    TimedSocket socket{SocketType::datagram};
    std::uint8_t byte = 0x5A;
    std::uint8_t buffer[4] = {};
};

struct Row {
    const char* name;
    std::function<SocketStatus()> observe;
    SocketStatus windows;
    // Where Wine's own Winsock gives another answer than Windows.
    std::optional<SocketStatus> wine = std::nullopt;
};

TEST(WinsockAnswers, EveryBackendGivesWindowsAnswer)
{
    ASSERT_EQ(startSockets(), 0);
    const Row rows[] = {
        {"stream connect to 0.0.0.0 where a listener waits",
         [] {
             TcpListener listener;
             Platform::SocketAddressRecord any = listener.address().record();
             std::fill(any.begin() + 4, any.begin() + 8, std::uint8_t{0});
             TimedSocket socket;
             return socket.connect(SocketAddress(any), answerWait);
         },
         ES_WSAEADDRNOTAVAIL},
        {"second waitConnect after a refused connect",
         [] { return RefusedStream().socket.waitConnect(shortWait); }, ES_WSAECONNREFUSED},
        {"writable after a refused connect",
         [] { return RefusedStream().socket.waitWritable(shortWait) ? ES_NO_ERROR : ES_TIMED_OUT; },
         ES_TIMED_OUT},
        {"send on a stream never connected",
         [] {
             const auto handle = Platform::openSocket(Platform::SocketKind::stream);
             const std::uint8_t byte = 0;
             const bool sent = Platform::sendSome(handle, &byte, 1) == 1;
             const auto status = static_cast<SocketStatus>(sent ? 0 : Platform::lastSocketError());
             Platform::closeSocket(handle);
             return status;
         },
         ES_WSAENOTCONN, ES_WSAECONNRESET},
        {"datagram longer than the buffer",
         [] {
             Datagram datagram(true);
             datagram.peer.receive();
             datagram.peer.reply(ByteString(8, 0x42));
             return datagram.socket.receiveBytes(datagram.buffer, 4, nullptr, answerWait);
         },
         ES_WSAEMSGSIZE},
        // Wine never shows a port-unreachable answer at all.
        {"receive after a port-unreachable answer",
         [] {
             Datagram datagram(false);
             return datagram.socket.receiveBytes(datagram.buffer, 4, nullptr, answerWait);
         },
         ES_WSAECONNRESET, ES_TIMED_OUT},
        {"send after a port-unreachable answer",
         [] {
             Datagram datagram(false);
             if (!datagram.socket.waitReadable(answerWait)) {
                 return ES_TIMED_OUT;
             }
             return datagram.socket.sendBytes(&datagram.byte, 1, nullptr, answerWait);
         },
         ES_NO_ERROR, ES_TIMED_OUT},
        {"send after a datagram disconnect",
         [] {
             Datagram datagram(true);
             datagram.socket.disconnect();
             return datagram.socket.sendBytes(&datagram.byte, 1, nullptr, answerWait);
         },
         ES_WSAENOTCONN, ES_WSAEINVAL},
    };
    for (const Row& row : rows) {
        const bool wine = runningUnderWine() && row.wine.has_value();
        EXPECT_EQ(row.observe(), wine ? *row.wine : row.windows) << row.name;
    }
    stopSockets();
}

} // namespace
