#pragma once

// The one seam between the library and the operating system. Two backends
// implement it (PlatformWin32.cpp, PlatformPosix.cpp); tests may link a fake
// one instead. Every backend keeps Windows Sockets 1.1 semantics: failures are
// Winsock error codes, handles use Winsock's all-ones invalid value, and
// waits behave like select() on a single handle.

#include <array>
#include <cstddef>
#include <cstdint>

namespace Platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle invalidSocket = ~SocketHandle{0};

// Winsock codes the socket logic tests for by value.
inline constexpr std::int32_t wsaEWouldBlock = 10035;

// The 16-byte IPv4 socket-address record as the socket calls take it.
using SocketAddressRecord = std::array<std::uint8_t, 16>;

enum class SocketKind { stream, datagram };

// Socket library lifetime (WSAStartup 1.1 / WSACleanup). 0 or an error code.
std::int32_t startSockets();
std::int32_t stopSockets();

// Code of the last failed socket call on this thread (WSAGetLastError).
std::int32_t lastSocketError();

// A new IPv4 TCP or UDP socket that child processes do not inherit, or
// invalidSocket.
SocketHandle openSocket(SocketKind kind);
void closeSocket(SocketHandle handle);

// Each returns false on failure; lastSocketError() then tells why.
bool setLingerOff(SocketHandle handle);
bool setBroadcast(SocketHandle handle);
bool setNonBlocking(SocketHandle handle);
bool connectSocket(SocketHandle handle, const SocketAddressRecord& address);

// Whether the caller's next send on a stream continues what this one sends.
// Where the OS can (Linux, MSG_MORE), the first part then waits in the send
// queue and both leave in one segment, which spares the sender and the peer
// a round of the network stack; elsewhere it changes nothing. Never for a
// datagram socket: there it would join two datagrams into one.
enum class SendHint { last, moreFollows };

// At most length bytes; the count transferred, 0 from receive when the peer
// has closed, or -1 on failure. Sending never raises a signal in the host.
std::int32_t sendSome(SocketHandle handle, const std::uint8_t* data, std::int32_t length,
                      SendHint hint = SendHint::last);
std::int32_t receiveSome(SocketHandle handle, std::uint8_t* buffer, std::int32_t length);

struct WaitSets {
    bool read = false;
    bool write = false;
    bool exception = false;
};

struct WaitResult {
    // As select(): the number of sets the handle is ready in, 0 when the time
    // ran out, negative on failure.
    std::int32_t count = 0;
    WaitSets ready;
};

// Waits up to timeoutMs for the handle to become ready in any watched set.
// A failed non-blocking connect shows in the exception set.
WaitResult waitSocket(SocketHandle handle, WaitSets watch, std::uint32_t timeoutMs);

// The pending error of the socket (SO_ERROR), 0 when there is none.
std::int32_t pendingSocketError(SocketHandle handle);

// inet_addr: the address in network byte order, or 0xFFFFFFFF when the text
// is not a dotted number.
std::uint32_t dottedAddress(const char* text);

// Thread-safe IPv4 name lookup: the first address, in network byte order.
bool lookupHost(const char* name, std::array<std::uint8_t, 4>& address);

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
std::uint32_t tickCount();
void sleepMilliseconds(std::uint32_t milliseconds);

// What the random generator's entropy sample reads.
struct DiskFreeSpace {
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t freeClusters = 0;
    std::uint32_t totalClusters = 0;
};

// Geometry and free space of the current drive; all zero on failure.
DiskFreeSpace currentDriveFreeSpace();

// 100-nanosecond intervals since 1601-01-01 UTC (GetSystemTimeAsFileTime).
std::uint64_t systemTimeAsFileTime();

// Bytes from the operating system's cryptographic generator; false when it
// could not deliver all of them.
bool systemRandom(std::uint8_t* buffer, std::size_t length);

} // namespace Platform
