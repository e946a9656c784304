#pragma once

// POSIX backend only. Winsock knows whether a stream socket ever connected
// and keeps a failed connect's error: select() reports such a socket in the
// exception set alone, or in none, and send() on it fails with WSAENOTCONN.
// Linux forgets the error once it is read and polls an unconnected stream as
// writable and hung up. So the backend keeps the state of each stream it
// opened until the stream connects; connected streams, datagram sockets and
// descriptors from elsewhere have no entry.

#include <cstdint>
#include <optional>

namespace Platform {

enum class StreamState { unconnected, connecting, failed };

struct StreamEntry {
    StreamState state = StreamState::unconnected;
    // The Winsock code of a failed connect; 0 until it is known.
    std::int32_t failure = 0;
};

// All safe from any thread, and none throws. An entry must be forgotten
// before its descriptor is closed, or it could be taken for the entry of
// another thread's new socket.

// A new unconnected entry; false when there was no memory for it.
bool trackStream(int descriptor);
// Changes an existing entry and never adds one.
void updateStream(int descriptor, StreamEntry entry);
void forgetStream(int descriptor);
std::optional<StreamEntry> streamEntry(int descriptor);

} // namespace Platform
