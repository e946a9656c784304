#pragma once

#include <cstdint>

namespace Platform {

// POSIX backend only: the Windows Sockets twin of an errno value, as Wine's
// Winsock maps them; an errno without a twin passes through unchanged.
std::int32_t winsockErrorFromErrno(int error);

} // namespace Platform
