// Win32 backend of the socket seam: Windows Sockets 1.1 calls and the kernel
// tick count, used as they are. The rest of the library already speaks their
// semantics.

#include "platform/Platform.h"

#include <cstring>
// winsock2.h must precede windows.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

namespace Platform {

namespace {

SOCKET native(SocketHandle handle)
{
    return static_cast<SOCKET>(handle);
}

timeval splitTimeout(std::uint32_t timeoutMs)
{
    timeval timeout{};
    timeout.tv_sec = static_cast<long>(timeoutMs / 1000);
    timeout.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    return timeout;
}

} // namespace

std::int32_t startSockets()
{
    WSADATA description{};
    return WSAStartup(0x0101, &description) == 0 ? 0 : WSAGetLastError();
}

std::int32_t stopSockets()
{
    return WSACleanup() == 0 ? 0 : WSAGetLastError();
}

std::int32_t lastSocketError()
{
    return WSAGetLastError();
}

SocketHandle openSocket(SocketKind kind)
{
    const SOCKET handle = kind == SocketKind::stream ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                                                     : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        return invalidSocket;
    }
    // A socket is a kernel handle; keep it out of child processes. Failure
    // only means a child could inherit it, so it does not fail the open.
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    if (kind == SocketKind::stream) {
        // A message goes out as two sends, prefix then body. Under Nagle's
        // algorithm the body would wait for the peer's delayed acknowledgement
        // of the prefix (up to 200 ms on Windows) on every request after a
        // reply. Failure only costs that delay, so it does not fail the open.
        const BOOL on = TRUE;
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    return static_cast<SocketHandle>(handle);
}

void closeSocket(SocketHandle handle)
{
    closesocket(native(handle));
}

bool setLingerOff(SocketHandle handle)
{
    linger off{};
    return setsockopt(native(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off),
                      sizeof off) == 0;
}

bool setBroadcast(SocketHandle handle)
{
    const BOOL on = TRUE;
    return setsockopt(native(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool setNonBlocking(SocketHandle handle)
{
    u_long on = 1;
    return ioctlsocket(native(handle), static_cast<long>(FIONBIO), &on) == 0;
}

bool connectSocket(SocketHandle handle, const SocketAddressRecord& address)
{
    // Windows refuses a stream connect to an address of another family (the
    // empty address of an unresolved host) and to 0.0.0.0. Wine would
    // instead hand either to its host, which reports success for the one and
    // connects to the local machine for the other, so the refusals are made
    // here.
    const bool otherFamily = address[0] != AF_INET || address[1] != 0;
    const bool anyAddress =
        address[4] == 0 && address[5] == 0 && address[6] == 0 && address[7] == 0;
    if (otherFamily || anyAddress) {
        int type = 0;
        int size = sizeof type;
        if (getsockopt(native(handle), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                       &size) == 0 &&
            type == SOCK_STREAM) {
            WSASetLastError(otherFamily ? WSAEAFNOSUPPORT : WSAEADDRNOTAVAIL);
            return false;
        }
    }
    // The record is the native sockaddr_in byte for byte.
    sockaddr_in target{};
    static_assert(sizeof target == sizeof address);
    std::memcpy(&target, address.data(), sizeof target);
    return connect(native(handle), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
}

std::int32_t sendSome(SocketHandle handle, const std::uint8_t* data, std::int32_t length, SendHint)
{
    const int done = send(native(handle), reinterpret_cast<const char*>(data), length, 0);
    return done == SOCKET_ERROR ? -1 : done;
}

std::int32_t receiveSome(SocketHandle handle, std::uint8_t* buffer, std::int32_t length)
{
    const int done = recv(native(handle), reinterpret_cast<char*>(buffer), length, 0);
    return done == SOCKET_ERROR ? -1 : done;
}

WaitResult waitSocket(SocketHandle handle, WaitSets watch, std::uint32_t timeoutMs)
{
    const SOCKET socket = native(handle);
    fd_set readSet;
    fd_set writeSet;
    fd_set exceptionSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptionSet);
    if (watch.read) {
        FD_SET(socket, &readSet);
    }
    if (watch.write) {
        FD_SET(socket, &writeSet);
    }
    if (watch.exception) {
        FD_SET(socket, &exceptionSet);
    }
    timeval timeout = splitTimeout(timeoutMs);
    WaitResult result;
    // The first argument is ignored by Winsock.
    result.count = select(0, watch.read ? &readSet : nullptr, watch.write ? &writeSet : nullptr,
                          watch.exception ? &exceptionSet : nullptr, &timeout);
    if (result.count > 0) {
        result.ready.read = watch.read && FD_ISSET(socket, &readSet);
        result.ready.write = watch.write && FD_ISSET(socket, &writeSet);
        result.ready.exception = watch.exception && FD_ISSET(socket, &exceptionSet);
    }
    return result;
}

std::int32_t pendingSocketError(SocketHandle handle)
{
    std::int32_t error = 0;
    int size = sizeof error;
    getsockopt(native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    return error;
}

std::uint32_t dottedAddress(const char* text)
{
    return inet_addr(text);
}

bool lookupHost(const char* name, std::array<std::uint8_t, 4>& address)
{
    // Winsock keeps the result in per-thread storage; it is copied out at
    // once, before any other socket call on this thread.
    const hostent* found = gethostbyname(name);
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_length < 4 ||
        found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(address.data(), found->h_addr_list[0], address.size());
    return true;
}

std::uint32_t tickCount()
{
    return GetTickCount();
}

void sleepMilliseconds(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

} // namespace Platform
