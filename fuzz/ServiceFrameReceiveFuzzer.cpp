// The test service's frame reader, fed the input through a socket pair and
// then an orderly close, as a hostile client would send it. The frames it
// delivers, followed by what it recorded of the last one, must be exactly the
// bytes sent, in order; every frame delivered must carry its own length; the
// reader must end on the close, or on a length out of range.
//
// Input: the bytes a client sends (at most 256 KiB are used).

#include "FuzzSupport.h"
#include "test-service/Connection.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using testservice::Bytes;
    using testservice::Connection;
    size = std::min<std::size_t>(size, 256 * 1024);
    int pair[2] = {-1, -1};
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FUZZ_CHECK(stopFd >= 0);
    std::thread client([&] {
        for (std::size_t sent = 0; sent < size;) {
            const ssize_t wrote = ::send(pair[0], data + sent, size - sent, MSG_NOSIGNAL);
            if (wrote <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(wrote);
        }
        ::shutdown(pair[0], SHUT_WR);
    });

    Bytes recorded;
    Bytes delivered;
    Connection::End end = Connection::End::open;
    {
        Connection connection(pair[1], stopFd, "fuzz", std::chrono::milliseconds(5000),
                              std::chrono::milliseconds(0), [&](const Bytes& frame) {
                                  recorded.insert(recorded.end(), frame.begin(), frame.end());
                              });
        while (const auto frame = connection.receiveFrame()) {
            FUZZ_CHECK(frame->size() >= 4);
            const std::uint32_t length = (*frame)[0] | (*frame)[1] << 8 | (*frame)[2] << 16 |
                                         static_cast<std::uint32_t>((*frame)[3]) << 24;
            FUZZ_CHECK(length == frame->size() && length <= testservice::maxFrameLength);
            delivered.insert(delivered.end(), frame->begin(), frame->end());
        }
        end = connection.end();
    }
    client.join();
    ::close(pair[0]);
    ::close(stopFd);

    FUZZ_CHECK(end == Connection::End::peerClosed || end == Connection::End::refused);
    FUZZ_CHECK(recorded.size() <= size && Bytes(data, data + recorded.size()) == recorded);
    FUZZ_CHECK(recorded.size() >= delivered.size() &&
               Bytes(recorded.begin(), recorded.begin() + delivered.size()) == delivered);
    if (end == Connection::End::peerClosed) {
        FUZZ_CHECK(recorded.size() == size);
    }
    return 0;
}
