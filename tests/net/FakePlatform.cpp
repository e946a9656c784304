#include "net/FakePlatform.h"

#include <algorithm>
#include <cstring>

FakeOs fake;

namespace Platform {

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
    return fake.lastError;
}

SocketHandle openSocket(SocketKind)
{
    if (fake.socketFails) {
        fake.lastError = 10024;
        return invalidSocket;
    }
    fake.opened.push_back(fake.nextHandle);
    return fake.nextHandle++;
}

void closeSocket(SocketHandle handle)
{
    fake.closed.push_back(handle);
}

bool setLingerOff(SocketHandle)
{
    if (fake.lingerFails) {
        fake.lastError = 10042;
    }
    return !fake.lingerFails;
}

bool setBroadcast(SocketHandle)
{
    return true;
}

bool setNonBlocking(SocketHandle handle)
{
    fake.nonBlocking.push_back(handle);
    return true;
}

bool connectSocket(SocketHandle, const SocketAddressRecord& address)
{
    if (fake.connect) {
        return fake.connect(address);
    }
    fake.lastError = wsaEWouldBlock;
    return false;
}

std::int32_t sendSome(SocketHandle, const std::uint8_t*, std::int32_t length, SendHint)
{
    ++fake.sends;
    return fake.send ? fake.send(length) : length;
}

std::int32_t receiveSome(SocketHandle, std::uint8_t* buffer, std::int32_t length)
{
    ++fake.receives;
    if (fake.incoming.empty()) {
        fake.lastError = wsaEWouldBlock;
        return -1;
    }
    const auto count = std::min(fake.incoming.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, fake.incoming.data(), count);
    fake.incoming.erase(fake.incoming.begin(), fake.incoming.begin() + static_cast<long>(count));
    return static_cast<std::int32_t>(count);
}

WaitResult waitSocket(SocketHandle, WaitSets watch, std::uint32_t timeoutMs)
{
    fake.waitTimeouts.push_back(timeoutMs);
    if (fake.wait) {
        return fake.wait(watch, timeoutMs);
    }
    // Nothing ever becomes ready: the whole timeout passes.
    fake.tick += timeoutMs;
    return {};
}

std::int32_t pendingSocketError(SocketHandle)
{
    return fake.pendingError;
}

std::uint32_t dottedAddress(const char*)
{
    return 0xFFFFFFFFu;
}

bool lookupHost(const char*, std::array<std::uint8_t, 4>&)
{
    return false;
}

std::uint32_t tickCount()
{
    return fake.tick;
}

void sleepMilliseconds(std::uint32_t milliseconds)
{
    fake.sleeps.push_back(milliseconds);
    fake.tick += milliseconds;
}

} // namespace Platform
