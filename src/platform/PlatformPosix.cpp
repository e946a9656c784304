// POSIX backend of the socket seam. It gives the rest of the library Windows
// Sockets semantics: failures are reported as Winsock error codes, readiness
// is reported per watched set the way select() does on Windows, and nothing
// here changes process-wide state (no signal dispositions, no global flags).

#include "platform/Platform.h"
#include "platform/PosixErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Platform {

namespace {

// WSAGetLastError is per thread; so is this.
thread_local std::int32_t lastError = 0;

void failWith(int error)
{
    lastError = winsockErrorFromErrno(error);
}

int descriptor(SocketHandle handle)
{
    // Winsock's all-ones invalid value becomes -1; anything that is no
    // descriptor at all is left for the call to refuse with EBADF.
    return handle > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(handle);
}

std::uint64_t monotonicMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

bool setIntOption(SocketHandle handle, int level, int name, int value)
{
    if (setsockopt(descriptor(handle), level, name, &value, sizeof value) != 0) {
        failWith(errno);
        return false;
    }
    return true;
}

} // namespace

std::int32_t startSockets()
{
    return 0;
}

std::int32_t stopSockets()
{
    return 0;
}

std::int32_t lastSocketError()
{
    return lastError;
}

SocketHandle openSocket(SocketKind kind)
{
    const int type = kind == SocketKind::stream ? SOCK_STREAM : SOCK_DGRAM;
    const int protocol = kind == SocketKind::stream ? IPPROTO_TCP : IPPROTO_UDP;
#ifdef SOCK_CLOEXEC
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
#else
    const int fd = socket(AF_INET, type, protocol);
    if (fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        failWith(errno);
        ::close(fd);
        return invalidSocket;
    }
#endif
    if (fd < 0) {
        failWith(errno);
        return invalidSocket;
    }
    const int on = 1;
#ifdef SO_NOSIGPIPE
    // Where send() has no MSG_NOSIGNAL the socket itself must not signal.
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    if (kind == SocketKind::stream) {
        // A message goes out as two sends, prefix then body. Under Nagle's
        // algorithm the body would wait for the peer's delayed acknowledgement
        // of the prefix (40 ms on Linux) on every request after a reply.
        // Failure only costs that delay, so it does not fail the open.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return static_cast<SocketHandle>(fd);
}

void closeSocket(SocketHandle handle)
{
    ::close(descriptor(handle));
}

bool setLingerOff(SocketHandle handle)
{
    const linger off{};
    if (setsockopt(descriptor(handle), SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0) {
        failWith(errno);
        return false;
    }
    return true;
}

bool setBroadcast(SocketHandle handle)
{
    return setIntOption(handle, SOL_SOCKET, SO_BROADCAST, 1);
}

bool setNonBlocking(SocketHandle handle)
{
    const int fd = descriptor(handle);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        failWith(errno);
        return false;
    }
    return true;
}

bool connectSocket(SocketHandle handle, const SocketAddressRecord& address)
{
    const int fd = descriptor(handle);
    const auto family = static_cast<unsigned>(address[0] | address[1] << 8);
    if (family != 2) {
        // Winsock dissolves a datagram association on an address of another
        // family and refuses it on a stream; Linux would instead disconnect a
        // stream, so the stream case is refused here.
        int type = 0;
        socklen_t size = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) {
            failWith(errno);
            return false;
        }
        if (type != SOCK_DGRAM) {
            failWith(EAFNOSUPPORT);
            return false;
        }
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        if (::connect(fd, &unspecified, sizeof unspecified) != 0) {
            failWith(errno);
            return false;
        }
        return true;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    std::memcpy(&target.sin_port, &address[2], 2);
    std::memcpy(&target.sin_addr, &address[4], 4);
    sockaddr generic{};
    static_assert(sizeof generic >= sizeof target);
    std::memcpy(&generic, &target, sizeof target);
    if (::connect(fd, &generic, sizeof target) != 0) {
        failWith(errno);
        return false;
    }
    return true;
}

std::int32_t sendSome(SocketHandle handle, const std::uint8_t* data, std::int32_t length)
{
    if (length < 0) {
        failWith(EINVAL);
        return -1;
    }
#ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL;
#else
    constexpr int flags = 0;
#endif
    for (;;) {
        const ssize_t done =
            ::send(descriptor(handle), data, static_cast<std::size_t>(length), flags);
        if (done >= 0) {
            return static_cast<std::int32_t>(done);
        }
        if (errno != EINTR) {
            failWith(errno);
            return -1;
        }
    }
}

std::int32_t receiveSome(SocketHandle handle, std::uint8_t* buffer, std::int32_t length)
{
    if (length < 0) {
        failWith(EINVAL);
        return -1;
    }
    for (;;) {
        const ssize_t done =
            ::recv(descriptor(handle), buffer, static_cast<std::size_t>(length), 0);
        if (done >= 0) {
            return static_cast<std::int32_t>(done);
        }
        if (errno != EINTR) {
            failWith(errno);
            return -1;
        }
    }
}

WaitResult waitSocket(SocketHandle handle, WaitSets watch, std::uint32_t timeoutMs)
{
    // poll rather than select: select cannot watch a descriptor at or above
    // FD_SETSIZE, which a host with many open files hands out.
    WaitResult result;
    pollfd entry{};
    entry.fd = descriptor(handle);
    if (entry.fd < 0) {
        // poll would skip a negative descriptor and just sleep; select on
        // an invalid socket fails.
        failWith(EBADF);
        result.count = -1;
        return result;
    }
    entry.events = static_cast<short>((watch.read ? POLLIN : 0) | (watch.write ? POLLOUT : 0));
    const std::uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    for (;;) {
        const std::uint64_t now = monotonicMilliseconds();
        const std::uint64_t left = deadline > now ? deadline - now : 0;
        entry.revents = 0;
        const int ready = poll(&entry, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
        if (ready < 0) {
            if (errno == EINTR) {
                continue; // resumed with the time that is left
            }
            failWith(errno);
            result.count = -1;
            return result;
        }
        if (ready == 0) {
            if (left > INT_MAX) {
                continue; // a wait longer than poll can express in one go
            }
            return result;
        }
        break;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        failWith(EBADF);
        result.count = -1;
        return result;
    }
    const bool error = (entry.revents & POLLERR) != 0;
    const bool hangUp = (entry.revents & POLLHUP) != 0;
    if (watch.exception && error) {
        // Windows reports a failed connect in the exception set alone.
        result.ready.exception = true;
    } else if (watch.write && ((entry.revents & POLLOUT) != 0 || error || hangUp)) {
        result.ready.write = true;
    }
    // A closed or failed socket is readable: the receive then reports it.
    result.ready.read = watch.read && (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    result.count = (result.ready.read ? 1 : 0) + (result.ready.write ? 1 : 0) +
                   (result.ready.exception ? 1 : 0);
    return result;
}

std::int32_t pendingSocketError(SocketHandle handle)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(descriptor(handle), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return 0;
    }
    return error == 0 ? 0 : winsockErrorFromErrno(error);
}

std::uint32_t dottedAddress(const char* text)
{
    return inet_addr(text);
}

bool lookupHost(const char* name, std::array<std::uint8_t, 4>& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    bool ok = false;
    if (found->ai_family == AF_INET && found->ai_addr != nullptr &&
        found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, found->ai_addr, sizeof first);
        std::memcpy(address.data(), &first.sin_addr, address.size());
        ok = true;
    }
    freeaddrinfo(found);
    return ok;
}

std::uint32_t tickCount()
{
    return static_cast<std::uint32_t>(monotonicMilliseconds());
}

void sleepMilliseconds(std::uint32_t milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace Platform
