#pragma once

#include <cstdint>

// Start and stop the platform socket library (Windows Sockets 1.1). Every
// other socket call, name lookup included, works only between the two. Each
// returns 0, or the platform's error code when it failed.
std::int32_t startSockets();
std::int32_t stopSockets();
