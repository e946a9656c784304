#pragma once

// A scripted operating system behind the platform seam, with a clock that
// moves only when a test (or a wait) moves it. Linked instead of the real
// backend to reach timing paths that loopback cannot provoke.

#include "common/ByteString.h"
#include "platform/Platform.h"

#include <functional>
#include <vector>

struct FakeOs {
    std::uint32_t tick = 0;
    std::int32_t lastError = 0;
    Platform::SocketHandle nextHandle = 100;
    bool socketFails = false;
    bool lingerFails = false;
    std::function<bool(const Platform::SocketAddressRecord&)> connect;
    std::function<Platform::WaitResult(Platform::WaitSets, std::uint32_t)> wait;
    std::function<std::int32_t(std::int32_t)> send;
    ByteString incoming; // what receive hands out, in order
    std::int32_t pendingError = 0;

    std::vector<Platform::SocketHandle> opened;
    std::vector<Platform::SocketHandle> closed;
    std::vector<Platform::SocketHandle> nonBlocking;
    std::vector<std::uint32_t> waitTimeouts;
    std::vector<std::uint32_t> sleeps;
    int sends = 0;
    int receives = 0;
};

// Reset before each test.
extern FakeOs fake;
