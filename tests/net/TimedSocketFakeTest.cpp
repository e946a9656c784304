// TimedSocket's timing logic on a scripted platform with a fake clock.

#include "net/FakePlatform.h"
#include "net/TimedSocket.h"

#include <gtest/gtest.h>

namespace {

using Platform::WaitResult;
using Platform::WaitSets;
using Waits = std::vector<std::uint32_t>;

const SocketAddress somewhere(Platform::SocketAddressRecord{2, 0, 0x17, 0x73, 10, 0, 0, 1});

class TimedSocketFake : public ::testing::Test {
  protected:
    void SetUp() override { fake = FakeOs{}; }

    // Every wait is ready at once after `cost` milliseconds (or its whole
    // timeout, if shorter).
    static void readyAfter(std::uint32_t cost)
    {
        fake.wait = [cost](WaitSets watch, std::uint32_t timeoutMs) {
            fake.tick += std::min(cost, timeoutMs);
            WaitResult result;
            result.count = 1;
            result.ready.read = watch.read;
            result.ready.write = watch.write;
            return result;
        };
    }

    TimedSocket socket{SocketType::stream};
};

TEST(RemainingTime, WrappingTickArithmetic)
{
    struct Case {
        std::uint32_t timeout, start, now;
        std::int32_t left;
    };
    const Case cases[] = {
        {20000, 0xFFFFFF00u, 16, 19728}, // across the 32-bit wrap
        {20000, 1000, 1000, 20000},
        {20000, 1000, 20999, 1},
        {20000, 1000, 21000, 0},
        {20000, 1000, 90000, 0},
        {0, 5, 5, 0},
        {100, 0xFFFFFFF0u, 0xFFFFFFF0u, 100},
    };
    for (const Case& c : cases) {
        fake.tick = c.now;
        EXPECT_EQ(remainingTime(c.timeout, c.start), c.left) << c.start << " " << c.now;
    }
}

TEST_F(TimedSocketFake, ConnectThatNeverCompletesTimesOut)
{
    EXPECT_EQ(socket.connect(somewhere, 20000), ES_TIMED_OUT);
    EXPECT_EQ(fake.waitTimeouts, Waits{20000});
    EXPECT_TRUE(socket.isOpen());

    // Timeout 0 leaves the handshake under way without waiting for it.
    fake.waitTimeouts.clear();
    EXPECT_EQ(socket.connect(somewhere, 0), ES_NO_ERROR);
    EXPECT_TRUE(fake.waitTimeouts.empty());

    // Every stream connect started on a fresh socket; the old one was closed.
    EXPECT_EQ(fake.opened.size(), 2u);
    EXPECT_EQ(fake.closed, std::vector<Platform::SocketHandle>{fake.opened[0]});

    fake.connect = [](const Platform::SocketAddressRecord&) {
        fake.lastError = 10049;
        return false;
    };
    EXPECT_EQ(socket.connect(somewhere, 20000), ES_WSAEADDRNOTAVAIL);
}

TEST_F(TimedSocketFake, ConnectFailureShownInTheExceptionSet)
{
    fake.wait = [](WaitSets watch, std::uint32_t) {
        EXPECT_TRUE(watch.write && watch.exception && !watch.read);
        WaitResult result;
        result.count = 1;
        result.ready.exception = true;
        return result;
    };
    fake.pendingError = 10061;
    EXPECT_EQ(socket.connect(somewhere, 20000), ES_WSAECONNREFUSED);
    EXPECT_EQ(fake.sleeps, Waits{1});
    fake.pendingError = 0;
    EXPECT_EQ(socket.waitConnect(1000), ES_UNKNOWN_ERROR);

    // A failing wait counts as a time-out.
    fake.wait = [](WaitSets, std::uint32_t) { return WaitResult{-1, {}}; };
    EXPECT_EQ(socket.waitConnect(1000), ES_TIMED_OUT);
}

TEST_F(TimedSocketFake, OpenFailures)
{
    fake.socketFails = true;
    EXPECT_EQ(socket.open(), ES_WSAEMFILE);
    EXPECT_FALSE(socket.isOpen());
    fake.socketFails = false;
    fake.lingerFails = true;
    EXPECT_EQ(socket.open(), ES_WSAENOPROTOOPT);
    EXPECT_TRUE(socket.isOpen()); // the handle stays held
    EXPECT_EQ(fake.nonBlocking, fake.opened) << "a held handle that blocks outlasts timeouts";
}

TEST_F(TimedSocketFake, TimeoutZeroMakesExactlyOneAttempt)
{
    ASSERT_EQ(socket.open(), ES_NO_ERROR);
    readyAfter(0);
    fake.send = [](std::int32_t) {
        fake.lastError = Platform::wsaEWouldBlock;
        return -1;
    };
    std::uint8_t data[20] = {};
    std::int32_t count = -1;
    EXPECT_EQ(socket.sendBytes(data, 20, &count, 0), ES_TIMED_OUT);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(fake.sends, 1);
    EXPECT_EQ(fake.waitTimeouts, Waits{0});

    fake.wait = nullptr; // never readable
    fake.waitTimeouts.clear();
    EXPECT_EQ(socket.receiveBytes(data, 20, &count, 0), ES_TIMED_OUT);
    EXPECT_EQ(fake.waitTimeouts, Waits{0});
    EXPECT_EQ(fake.receives, 0);

    // Readable but nothing there: the receive does not pass over it.
    readyAfter(0);
    EXPECT_EQ(socket.receiveBytes(data, 20, &count, 1000), ES_WSAEWOULDBLOCK);
}

TEST_F(TimedSocketFake, SpentTimeoutGetsOneLastZeroWaitAttempt)
{
    ASSERT_EQ(socket.open(), ES_NO_ERROR);
    readyAfter(1000);
    fake.send = [](std::int32_t length) { return std::min(length, 3); };
    std::uint8_t data[20] = {};
    std::int32_t count = -1;
    EXPECT_EQ(socket.sendBytes(data, 20, &count, 2500), ES_TIMED_OUT);
    EXPECT_EQ(count, 12);
    EXPECT_EQ(fake.waitTimeouts, (Waits{2500, 1500, 500, 0}));
}

TEST_F(TimedSocketFake, MessageStepsShareOneTimeout)
{
    ASSERT_EQ(socket.open(), ES_NO_ERROR);
    readyAfter(300);
    const std::uint8_t body[3] = {7, 8, 9};
    EXPECT_EQ(socket.sendMessage(body, 3, 1000), ES_NO_ERROR);
    EXPECT_EQ(fake.waitTimeouts, (Waits{1000, 700}));

    fake.waitTimeouts.clear();
    fake.incoming = {7, 0, 0, 0, 7, 8, 9};
    EXPECT_EQ(socket.receiveMessage(1000), ES_NO_ERROR);
    EXPECT_EQ(fake.waitTimeouts, (Waits{1000, 700}));
    EXPECT_EQ(socket.messageLength(), 3u);
    EXPECT_EQ(socket.messageData()[2], 9);

    // The prefix alone used up the time: the body gets one zero wait.
    readyAfter(1000);
    fake.waitTimeouts.clear();
    fake.incoming = {6, 0, 0, 0, 1, 2};
    EXPECT_EQ(socket.receiveMessage(1000), ES_NO_ERROR);
    EXPECT_EQ(fake.waitTimeouts, (Waits{1000, 0}));
}

TEST_F(TimedSocketFake, DatagramDisconnectKeepsHandleOnlyIfDissolved)
{
    TimedSocket datagram(SocketType::datagram);
    bool dissolves = true;
    fake.connect = [&dissolves](const Platform::SocketAddressRecord& address) {
        if (address == Platform::SocketAddressRecord{}) {
            return dissolves;
        }
        return true;
    };
    EXPECT_EQ(datagram.connect(somewhere, 20000), ES_NO_ERROR);
    EXPECT_TRUE(fake.waitTimeouts.empty()); // no handshake to wait for
    datagram.disconnect();
    EXPECT_TRUE(datagram.isOpen());
    EXPECT_EQ(datagram.connect(somewhere, 20000), ES_NO_ERROR);
    EXPECT_EQ(fake.opened.size(), 1u); // the datagram socket is reused
    dissolves = false;
    datagram.disconnect();
    EXPECT_FALSE(datagram.isOpen());
}

} // namespace
