// The frame receive of TimedSocket fed through a connected loopback pair in
// pieces the input chooses, with receiveMessage called between them. Every
// frame delivered must be the next one of the bytes written, in order and
// byte for byte; a refused frame must have a length out of range and stay
// refused; nothing may be lost or invented when the peer finally closes.
//
// Input: a run of pieces, each led by a byte whose top two bits say what
// follows: 0, the next (low 6 bits + 1) input bytes; 2, a run of generated
// bytes whose length is the low 6 bits and the next byte, plus one (up to
// 16,384, so frames of any accepted size stay cheap to express). With the
// lowest of those two bits set (1, 3) a receive follows the piece.

#include "FuzzSupport.h"
#include "net/TimedSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t maxWritten = 1 << 20;

struct Listener {
    Listener()
    {
        fuzzsupport::startSocketsOnce();
        descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        FUZZ_CHECK(descriptor >= 0 &&
                   ::bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                   ::listen(descriptor, 16) == 0 &&
                   ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) == 0);
        address.parse(("127.0.0.1:" + std::to_string(ntohs(local.sin_port))).c_str());
    }
    int descriptor = -1;
    SocketAddress address;
};

class Peer {
  public:
    explicit Peer(int accepted) : descriptor(accepted)
    {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    }
    ~Peer() { ::close(descriptor); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Bytes the kernel took; 0 when its buffers are full for now.
    std::size_t send(const std::uint8_t* data, std::size_t count)
    {
        const ssize_t sent = ::send(descriptor, data, count, MSG_NOSIGNAL);
        FUZZ_CHECK(sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK);
        return sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    void shutdownWrite() { ::shutdown(descriptor, SHUT_WR); }

  private:
    int descriptor;
};

std::uint32_t lengthAt(const ByteString& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

bool inRange(std::uint32_t length)
{
    return length >= 4 && length <= TimedSocket::maxFrameLength;
}

// The socket under test against the bytes written so far.
struct Receiver {
    TimedSocket socket;
    ByteString written;
    std::size_t frameStart = 0; // where the next undelivered frame begins
    bool refused = false;
    bool peerClosed = false;

    std::size_t available() const { return written.size() - frameStart; }

    SocketStatus receive(std::uint32_t timeoutMs)
    {
        const SocketStatus status = socket.receiveMessage(timeoutMs);
        if (refused) {
            FUZZ_CHECK(status == ES_MESSAGE_TOO_BIG);
            return status;
        }
        switch (status) {
        case ES_NO_ERROR: {
            FUZZ_CHECK(available() >= 4);
            const std::uint32_t length = lengthAt(written, frameStart);
            FUZZ_CHECK(inRange(length) && available() >= length);
            FUZZ_CHECK(socket.messageLength() == length - 4);
            FUZZ_CHECK(std::equal(socket.messageData(), socket.messageData() + (length - 4),
                                  written.begin() + static_cast<std::ptrdiff_t>(frameStart + 4)));
            FUZZ_CHECK(socket.receiveProgress() == 0);
            frameStart += length;
            break;
        }
        case ES_MESSAGE_TOO_BIG:
            FUZZ_CHECK(available() >= 4 && !inRange(lengthAt(written, frameStart)));
            FUZZ_CHECK(socket.messageLength() == 0);
            refused = true;
            break;
        case ES_TIMED_OUT:
            FUZZ_CHECK(socket.receiveProgress() <= available());
            FUZZ_CHECK(socket.messageLength() == 0 || socket.receiveProgress() == 0);
            break;
        case ES_SHUTDOWN:
            FUZZ_CHECK(peerClosed);
            break;
        default:
            FUZZ_CHECK(status == ES_NO_ERROR);
        }
        return status;
    }

    bool completeFrameLeft() const
    {
        return available() >= 4 && (!inRange(lengthAt(written, frameStart)) ||
                                    available() >= lengthAt(written, frameStart));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Listener listener;
    Receiver receiver;
    FUZZ_CHECK(receiver.socket.connect(listener.address, fuzzsupport::exchangeTimeoutMs) ==
               ES_NO_ERROR);
    Peer peer(::accept(listener.descriptor, nullptr, nullptr));

    fuzzsupport::InputReader input(data, size);
    while (input.remaining() != 0 && !receiver.refused && receiver.written.size() < maxWritten) {
        const std::uint8_t lead = input.byte();
        ByteString piece;
        if ((lead & 0x80) == 0) {
            piece = input.bytes((lead & 0x3Fu) + 1);
        } else {
            piece.resize(((lead & 0x3Fu) << 8 | input.byte()) + 1u);
            for (std::size_t i = 0; i < piece.size(); ++i) {
                piece[i] = static_cast<std::uint8_t>((receiver.written.size() + i) * 131 >> 3);
            }
        }
        for (std::size_t sent = 0; sent < piece.size() && !receiver.refused;) {
            const std::size_t now = peer.send(piece.data() + sent, piece.size() - sent);
            receiver.written.insert(receiver.written.end(),
                                    piece.begin() + static_cast<std::ptrdiff_t>(sent),
                                    piece.begin() + static_cast<std::ptrdiff_t>(sent + now));
            sent += now;
            if (now == 0) {
                receiver.receive(0); // the kernel's buffers are full: let the socket read
            }
        }
        if ((lead & 0x40) != 0 && !receiver.refused) {
            receiver.receive(0);
        }
    }

    // Once the peer has closed, every complete frame must still come out,
    // then at most one timed-out call for a part frame, then the shutdown.
    peer.shutdownWrite();
    receiver.peerClosed = true;
    for (int calls = 0;; ++calls) {
        FUZZ_CHECK(calls < 3 + static_cast<int>(receiver.written.size() / 4));
        const SocketStatus status = receiver.receive(fuzzsupport::exchangeTimeoutMs);
        if (status == ES_SHUTDOWN || status == ES_MESSAGE_TOO_BIG) {
            break;
        }
    }
    FUZZ_CHECK(receiver.refused || !receiver.completeFrameLeft());
    return 0;
}
