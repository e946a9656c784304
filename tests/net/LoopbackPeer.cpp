#include "net/LoopbackPeer.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
using Length = int;
using Native = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using Length = socklen_t;
using Native = int;
#endif

namespace {

Native native(std::intptr_t descriptor)
{
    return static_cast<Native>(descriptor);
}

void closeNative(std::intptr_t descriptor)
{
#ifdef _WIN32
    closesocket(native(descriptor));
#else
    ::close(native(descriptor));
#endif
}

[[noreturn]] void fail(const char* what)
{
    throw std::runtime_error(std::string("loopback peer: ") + what);
}

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Binds to 127.0.0.1 on a port the OS picks and returns that port.
std::uint16_t bindLoopback(std::intptr_t descriptor)
{
    sockaddr_in address = loopback(0);
    if (bind(native(descriptor), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail("bind");
    }
    Length size = sizeof address;
    if (getsockname(native(descriptor), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        fail("getsockname");
    }
    return ntohs(address.sin_port);
}

SocketAddress loopbackAddress(std::uint16_t port)
{
    return SocketAddress(("127.0.0.1:" + std::to_string(port)).c_str());
}

std::intptr_t openNative(int type)
{
    const auto descriptor = static_cast<std::intptr_t>(socket(AF_INET, type, 0));
    if (descriptor < 0) {
        fail("socket");
    }
    return descriptor;
}

} // namespace

PeerSocket::PeerSocket(PeerSocket&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1))
{
}

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept
{
    if (this != &other) {
        close();
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

PeerSocket::~PeerSocket()
{
    close();
}

void PeerSocket::sendAll(const ByteString& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto chunk = static_cast<int>(bytes.size() - done);
        const auto sent =
            send(native(descriptor), reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
        if (sent <= 0) {
            fail("send");
        }
        done += static_cast<std::size_t>(sent);
    }
}

ByteString PeerSocket::receiveUpTo(std::size_t count)
{
    ByteString bytes(count);
    std::size_t done = 0;
    while (done < count) {
        const auto got = recv(native(descriptor), reinterpret_cast<char*>(bytes.data() + done),
                              static_cast<int>(count - done), 0);
        if (got < 0) {
            fail("recv");
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

void PeerSocket::setReceiveTimeout(int milliseconds)
{
#ifdef _WIN32
    const DWORD timeout = static_cast<DWORD>(milliseconds);
#else
    const timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
#endif
    if (setsockopt(native(descriptor), SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&timeout), sizeof timeout) != 0) {
        fail("setsockopt");
    }
}

void PeerSocket::close()
{
    if (descriptor >= 0) {
        closeNative(descriptor);
        descriptor = -1;
    }
}

void PeerSocket::reset()
{
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(native(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
               sizeof abortive);
    close();
}

TcpListener::TcpListener() : descriptor(openNative(SOCK_STREAM))
{
    port = bindLoopback(descriptor);
    if (listen(native(descriptor), 8) != 0) {
        fail("listen");
    }
}

TcpListener::~TcpListener()
{
    close();
}

SocketAddress TcpListener::address() const
{
    return loopbackAddress(port);
}

PeerSocket TcpListener::accept()
{
    const auto accepted =
        static_cast<std::intptr_t>(::accept(native(descriptor), nullptr, nullptr));
    if (accepted < 0) {
        fail("accept");
    }
    return PeerSocket(accepted);
}

void TcpListener::close()
{
    if (descriptor >= 0) {
        closeNative(descriptor);
        descriptor = -1;
    }
}

UdpPeer::UdpPeer() : descriptor(openNative(SOCK_DGRAM))
{
    port = bindLoopback(descriptor);
}

UdpPeer::~UdpPeer()
{
    closeNative(descriptor);
}

SocketAddress UdpPeer::address() const
{
    return loopbackAddress(port);
}

ByteString UdpPeer::receive()
{
    ByteString bytes(2048);
    sockaddr_in sender{};
    Length size = sizeof sender;
    const auto got =
        recvfrom(native(descriptor), reinterpret_cast<char*>(bytes.data()),
                 static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&sender), &size);
    if (got < 0) {
        fail("recvfrom");
    }
    std::memcpy(lastSender, &sender, sizeof lastSender);
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

void UdpPeer::reply(const ByteString& bytes)
{
    sockaddr_in target{};
    std::memcpy(&target, lastSender, sizeof target);
    if (sendto(native(descriptor), reinterpret_cast<const char*>(bytes.data()),
               static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&target),
               sizeof target) < 0) {
        fail("sendto");
    }
}

SocketAddress closedLoopbackAddress()
{
    // The port was just in use and is free again; nothing else on loopback
    // takes it within the test's lifetime in practice.
    TcpListener probe;
    const SocketAddress address = probe.address();
    probe.close();
    return address;
}

bool runningUnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool resetReadsAsOrderlyClose()
{
    return runningUnderWine();
}
