// The POSIX backend: Winsock error codes from real failures, poll on high
// descriptors, waits resumed after a signal, the monotonic tick.

#include "platform/EmulatorCheck.h"
#include "platform/Platform.h"
#include "platform/PosixErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace Platform;

TEST(PosixErrors, WinsockTwinsAndPassThrough)
{
    const std::pair<int, std::int32_t> cases[] = {
        {ECONNREFUSED, 10061}, {EINPROGRESS, 10035},   {EAGAIN, 10035},       {EWOULDBLOCK, 10035},
        {ECONNRESET, 10054},   {EPIPE, 10054},         {EBADF, 10038},        {ENOTSOCK, 10038},
        {ETIMEDOUT, 10060},    {ENETUNREACH, 10051},   {EHOSTUNREACH, 10065}, {ENOTCONN, 10057},
        {EINVAL, 10022},       {EADDRNOTAVAIL, 10049}, {EAFNOSUPPORT, 10047}, {EMFILE, 10024},
        {ENOBUFS, 10055},      {EINTR, 10004},         {EACCES, 10013},       {EADDRINUSE, 10048},
        {EMSGSIZE, 10040},     {ENOMEM, ENOMEM},       {ENOENT, ENOENT},      {0, 0},
    };
    for (const auto& [error, code] : cases) {
        EXPECT_EQ(winsockErrorFromErrno(error), code) << error;
    }
    // Whatever is mapped lands among the Winsock codes.
    for (int error = 1; error < 256; ++error) {
        const std::int32_t code = winsockErrorFromErrno(error);
        EXPECT_TRUE(code == error || (code >= 10004 && code <= 10101)) << error;
    }
}

// A listener on 127.0.0.1 and its address record as the seam takes it.
struct Listener {
    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        record = {2, 0};
        std::memcpy(&record[2], &address.sin_port, 2);
        std::memcpy(&record[4], &address.sin_addr, 4);
    }
    ~Listener() { ::close(fd); }

    int fd = -1;
    SocketAddressRecord record{};
};

// A non-blocking seam socket connected to the listener, and the peer's end.
struct Connection {
    explicit Connection(const Listener& listener)
    {
        handle = openSocket(SocketKind::stream);
        EXPECT_TRUE(setNonBlocking(handle));
        if (!connectSocket(handle, listener.record)) {
            EXPECT_EQ(lastSocketError(), 10035);
        }
        EXPECT_EQ(waitSocket(handle, {.write = true, .exception = true}, 2000).count, 1);
        peer = accept(listener.fd, nullptr, nullptr);
    }
    ~Connection()
    {
        closeSocket(handle);
        ::close(peer);
    }

    SocketHandle handle = invalidSocket;
    int peer = -1;
};

TEST(PosixSockets, FailuresReportWinsockCodes)
{
    Listener listener;
    {
        Connection connection(listener);
        EXPECT_NE(fcntl(static_cast<int>(connection.handle), F_GETFD) & FD_CLOEXEC, 0);
        // Without it every request's body waits out a delayed acknowledgement.
        int noDelay = 0;
        socklen_t noDelaySize = sizeof noDelay;
        getsockopt(static_cast<int>(connection.handle), IPPROTO_TCP, TCP_NODELAY, &noDelay,
                   &noDelaySize);
        EXPECT_NE(noDelay, 0);
        std::uint8_t buffer[4] = {};
        EXPECT_EQ(receiveSome(connection.handle, buffer, 4), -1);
        EXPECT_EQ(lastSocketError(), 10035);
        // Writing after our own shutdown raises EPIPE; with the default
        // SIGPIPE disposition a signal would end this test binary.
        ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
        shutdown(static_cast<int>(connection.handle), SHUT_WR);
        EXPECT_EQ(sendSome(connection.handle, buffer, 4), -1);
        EXPECT_EQ(lastSocketError(), 10054);
        EXPECT_FALSE(connectSocket(connection.handle, SocketAddressRecord{}));
        EXPECT_EQ(lastSocketError(), 10047);
    }

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(sendSome(static_cast<SocketHandle>(pipeEnds[1]), &byte, 1), -1);
    EXPECT_EQ(lastSocketError(), 10038);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    EXPECT_EQ(sendSome(static_cast<SocketHandle>(pipeEnds[1]), &byte, 1), -1);
    EXPECT_EQ(lastSocketError(), 10038);
    EXPECT_EQ(waitSocket(invalidSocket, {.read = true}, 0).count, -1);

    SocketAddressRecord closed = listener.record;
    ::close(listener.fd);
    listener.fd = -1;
    const SocketHandle refused = openSocket(SocketKind::stream);
    ASSERT_TRUE(setNonBlocking(refused));
    if (!connectSocket(refused, closed)) {
        EXPECT_EQ(lastSocketError(), 10035);
    }
    // Like Windows, a failed connect shows in the exception set alone.
    const WaitResult result = waitSocket(refused, {.write = true, .exception = true}, 2000);
    EXPECT_EQ(result.count, 1);
    EXPECT_TRUE(result.ready.exception);
    EXPECT_FALSE(result.ready.write);
    EXPECT_EQ(pendingSocketError(refused), 10061);
    closeSocket(refused);
}

TEST(PosixSockets, WaitsWorkAboveDescriptor1024)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_cur < 1100) {
        if (limit.rlim_max < 1100) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        limit.rlim_cur = 1100;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    Listener listener;
    {
        Connection connection(listener);
        const int high = fcntl(static_cast<int>(connection.handle), F_DUPFD_CLOEXEC, 1050);
        ASSERT_GE(high, 1050);
        const auto handle = static_cast<SocketHandle>(high);
        EXPECT_EQ(waitSocket(handle, {.read = true}, 0).count, 0);
        ASSERT_EQ(write(connection.peer, "ab", 2), 2);
        const WaitResult result = waitSocket(handle, {.read = true, .write = true}, 2000);
        EXPECT_EQ(result.count, 2);
        std::uint8_t buffer[2] = {};
        EXPECT_EQ(receiveSome(handle, buffer, 2), 2);
        closeSocket(handle);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

extern "C" void ignoreSignal(int) {}

TEST(PosixSockets, InterruptedWaitResumesWithTimeLeft)
{
    if (!procMemoryIsOurs()) {
        // Seen with qemu-i386 7.2: after a handler has run on the main
        // thread, joining the thread that sent the signal fails with EDEADLK.
        GTEST_SKIP() << "a user-mode emulator (qemu-i386) breaks a 32-bit program's threads "
                        "after a signal";
    }
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = ignoreSignal; // no SA_RESTART: poll sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    Listener listener;
    Connection connection(listener);
    const pthread_t waiter = pthread_self();
    std::thread interrupter([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(waiter, SIGUSR1);
    });
    const std::uint32_t start = tickCount();
    const WaitResult result = waitSocket(connection.handle, {.read = true}, 300);
    const std::uint32_t elapsed = tickCount() - start;
    interrupter.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(result.count, 0);
    EXPECT_GE(elapsed, 299u);
}

TEST(PosixClock, TickIsMonotonicMillisecondsTruncated)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto expected =
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                   static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
    const std::uint32_t tick = tickCount();
    EXPECT_LE(tick - expected, 5u);
    sleepMilliseconds(20);
    EXPECT_GE(tickCount() - tick, 20u);
}

TEST(PosixNames, DottedAndLookedUp)
{
    const std::uint32_t dotted = dottedAddress("10.1.2.3");
    std::uint8_t bytes[4];
    std::memcpy(bytes, &dotted, 4);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[3], 3);
    EXPECT_EQ(dottedAddress("localhost"), 0xFFFFFFFFu);
    std::array<std::uint8_t, 4> address{};
    EXPECT_TRUE(lookupHost("localhost", address));
    EXPECT_EQ(address[0], 127);
    EXPECT_FALSE(lookupHost("no-such-host.invalid", address));
}

} // namespace
