// POSIX backend of the socket seam. It gives the rest of the library Windows
// Sockets semantics: failures are reported as Winsock error codes (the table
// is in PosixErrors.cpp), readiness is reported per watched set the way
// select() does on Windows, and what Winsock knows of a stream's connect and
// the kernel forgets is kept in PosixStreamStates.cpp. Nothing here changes
// the host's process state (no signal dispositions, no global flags).

#include "platform/Platform.h"
#include "platform/PosixErrors.h"
#include "platform/PosixStreamStates.h"

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
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
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

bool isDatagram(int fd)
{
    int type = 0;
    socklen_t size = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_DGRAM;
}

// Reading SO_ERROR clears it.
std::int32_t takePendingError(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return 0;
    }
    return error == 0 ? 0 : winsockErrorFromErrno(error);
}

// Winsock has no signals to interrupt a send or a receive; errno stays as the
// last attempt left it.
template <typename Transfer> ssize_t resumingInterrupted(Transfer transfer)
{
    ssize_t done = 0;
    do {
        done = transfer();
    } while (done < 0 && errno == EINTR);
    return done;
}

// A send carries no address, so Winsock calls every send on a socket without
// a peer WSAENOTCONN, where Linux reports a stream that never connected as a
// broken pipe and a datagram socket without a peer as lacking a destination.
int winsockSendErrno(int fd, int error)
{
    if (error == EDESTADDRREQ || (error == EPIPE && streamEntry(fd).has_value())) {
        return ENOTCONN;
    }
    return error;
}

// poll until the entry reports or the deadline passes: resumed after a signal
// with the time that is left, and again where the wait is longer than poll
// can express in one go. A negative descriptor is ignored by poll, which
// then only sleeps. As poll, with errno set on failure.
int pollUntil(pollfd& entry, std::uint64_t deadline)
{
    for (;;) {
        const std::uint64_t now = monotonicMilliseconds();
        const std::uint64_t left = deadline > now ? deadline - now : 0;
        entry.revents = 0;
        const int ready = poll(&entry, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
        if ((ready < 0 && errno == EINTR) || (ready == 0 && left > INT_MAX)) {
            continue;
        }
        return ready;
    }
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
    // A descriptor closed behind the backend's back may have left an entry.
    if (kind == SocketKind::datagram) {
        forgetStream(fd);
    } else if (!trackStream(fd)) {
        ::close(fd);
        failWith(ENOBUFS);
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
    forgetStream(descriptor(handle));
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
    // The same request as Winsock's, in one call where fcntl needs two.
    int on = 1;
    if (ioctl(descriptor(handle), FIONBIO, &on) != 0) {
        failWith(errno);
        return false;
    }
    return true;
}

bool connectSocket(SocketHandle handle, const SocketAddressRecord& address)
{
    const int fd = descriptor(handle);
    const auto family = static_cast<unsigned>(address[0] | address[1] << 8);
    const bool anyAddress =
        address[4] == 0 && address[5] == 0 && address[6] == 0 && address[7] == 0;
    // Only these two cases depend on the kind, so only they ask for it.
    int type = SOCK_STREAM;
    if (family != 2 || anyAddress) {
        socklen_t size = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) {
            failWith(errno);
            return false;
        }
    }
    if (family != 2) {
        // Winsock dissolves a datagram association on an address of another
        // family and refuses it on a stream; Linux would instead disconnect a
        // stream, so the stream case is refused here.
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
    if (type != SOCK_DGRAM && anyAddress) {
        // Windows refuses 0.0.0.0 as a peer; Linux would connect to whatever
        // listens on that port of this machine.
        failWith(EADDRNOTAVAIL);
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    std::memcpy(&target.sin_port, &address[2], 2);
    std::memcpy(&target.sin_addr, &address[4], 4);
    sockaddr generic{};
    static_assert(sizeof generic >= sizeof target);
    std::memcpy(&generic, &target, sizeof target);
    if (::connect(fd, &generic, sizeof target) != 0) {
        const int error = errno;
        if (error == EINPROGRESS) {
            updateStream(fd, {StreamState::connecting, 0});
        }
        failWith(error);
        return false;
    }
    forgetStream(fd);
    return true;
}

std::int32_t sendSome(SocketHandle handle, const std::uint8_t* data, std::int32_t length,
                      SendHint hint)
{
    if (length < 0) {
        failWith(EINVAL);
        return -1;
    }
#ifdef MSG_NOSIGNAL
    int flags = MSG_NOSIGNAL;
#else
    int flags = 0;
#endif
#ifdef MSG_MORE
    if (hint == SendHint::moreFollows) {
        flags |= MSG_MORE;
    }
#else
    static_cast<void>(hint);
#endif
    const int fd = descriptor(handle);
    const auto sendOnce = [&] {
        return resumingInterrupted(
            [&] { return ::send(fd, data, static_cast<std::size_t>(length), flags); });
    };
    ssize_t done = sendOnce();
    if (done < 0 && errno == ECONNREFUSED && isDatagram(fd)) {
        // A port-unreachable answer to an earlier datagram, which Linux hands
        // to whichever call comes next, dropping this datagram. Winsock
        // leaves it to the next receive and sends, so this is sent again.
        done = sendOnce();
    }
    if (done < 0) {
        failWith(winsockSendErrno(fd, errno));
        return -1;
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t receiveSome(SocketHandle handle, std::uint8_t* buffer, std::int32_t length)
{
    if (length < 0) {
        failWith(EINVAL);
        return -1;
    }
    const int fd = descriptor(handle);
    iovec part{buffer, static_cast<std::size_t>(length)};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t done = resumingInterrupted([&] { return ::recvmsg(fd, &message, 0); });
    if (done < 0) {
        // Winsock reports a port-unreachable answer to a datagram as a reset.
        const int error = errno;
        failWith(error == ECONNREFUSED && isDatagram(fd) ? ECONNRESET : error);
        return -1;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        // Winsock too fills the buffer with the start of a datagram longer
        // than it, and drops the rest, but then fails the call.
        failWith(EMSGSIZE);
        return -1;
    }
    return static_cast<std::int32_t>(done);
}

WaitResult waitSocket(SocketHandle handle, WaitSets watch, std::uint32_t timeoutMs)
{
    // poll rather than select: select cannot watch a descriptor at or above
    // FD_SETSIZE, which a host with many open files hands out.
    WaitResult result;
    const int fd = descriptor(handle);
    if (fd < 0) {
        // poll would skip a negative descriptor and just sleep; select on
        // an invalid socket fails.
        failWith(EBADF);
        result.count = -1;
        return result;
    }
    const std::uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    pollfd entry{};
    for (;;) {
        const std::optional<StreamEntry> stream = streamEntry(fd);
        entry.fd = fd;
        entry.events = static_cast<short>((watch.read ? POLLIN : 0) | (watch.write ? POLLOUT : 0));
        if (stream && stream->state != StreamState::connecting) {
            // Winsock shows a stream that is not connected in the exception
            // set after a failed connect, and otherwise in no set at all,
            // until the time runs out; poll would report it hung up at once.
            if (watch.exception && stream->state == StreamState::failed) {
                result.ready.exception = true;
                result.count = 1;
                return result;
            }
            entry.fd = -1;
        } else if (stream) {
            // The connect's outcome, whatever is watched.
            entry.events = static_cast<short>(entry.events | POLLOUT);
        }
        const int ready = pollUntil(entry, deadline);
        if (ready < 0) {
            failWith(errno);
            result.count = -1;
            return result;
        }
        if (ready == 0) {
            return result;
        }
        if ((entry.revents & POLLNVAL) != 0) {
            failWith(EBADF);
            result.count = -1;
            return result;
        }
        if (!stream) {
            break;
        }
        // The connect has ended; the next round reports it as Winsock would.
        if ((entry.revents & (POLLERR | POLLHUP)) != 0) {
            updateStream(fd, {StreamState::failed, takePendingError(fd)});
        } else {
            forgetStream(fd);
        }
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
    // Winsock keeps a failed connect's error; Linux clears it once read.
    const int fd = descriptor(handle);
    const std::optional<StreamEntry> stream = streamEntry(fd);
    if (stream && stream->state == StreamState::failed && stream->failure != 0) {
        return stream->failure;
    }
    const std::int32_t code = takePendingError(fd);
    if (stream && stream->state != StreamState::unconnected && code != 0) {
        updateStream(fd, {StreamState::failed, code});
    }
    return code;
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
