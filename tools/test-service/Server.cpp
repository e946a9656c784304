#include "test-service/Server.h"

#include "test-service/Connection.h"
#include "test-service/Wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace testservice {

namespace {

// A peer that neither sends nor closes is given up after this long, so a
// long-running service does not keep threads for vanished clients.
constexpr std::chrono::milliseconds drainLimit{30000};

std::system_error socketError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

} // namespace

Endpoint parseEndpoint(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        throw std::invalid_argument("expected address:port, got \"" + text + "\"");
    }
    Endpoint endpoint;
    endpoint.address = text.substr(0, colon);
    in_addr parsed{};
    if (inet_pton(AF_INET, endpoint.address.c_str(), &parsed) != 1) {
        throw std::invalid_argument("not a dotted IPv4 address: \"" + endpoint.address + "\"");
    }
    const std::string portText = text.substr(colon + 1);
    std::size_t used = 0;
    unsigned long port = 0;
    try {
        port = std::stoul(portText, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != portText.size() || port > 65535) {
        throw std::invalid_argument("not a port number: \"" + portText + "\"");
    }
    endpoint.port = static_cast<std::uint16_t>(port);
    return endpoint;
}

Bytes shapeFrame(const Bytes& body, const ReplyShaping& shaping)
{
    Bytes sent = body;
    if (shaping.bodyLimit && *shaping.bodyLimit < sent.size()) {
        sent.resize(*shaping.bodyLimit);
    }
    Bytes frame;
    append32le(frame, shaping.lengthField ? *shaping.lengthField
                                          : static_cast<std::uint32_t>(sent.size() + 4));
    appendBytes(frame, sent);
    if (shaping.frameLimit && *shaping.frameLimit < frame.size()) {
        frame.resize(*shaping.frameLimit);
    }
    return frame;
}

// ---- Connection

Connection::Connection(int socketFd, int stopEventFd, Recorder recorder)
    : fd(socketFd), stopFd(stopEventFd), record(std::move(recorder))
{
}

Connection::~Connection()
{
    ::shutdown(fd, SHUT_WR);
    std::uint8_t scratch[512];
    while (waitFor(POLLIN, drainLimit) == Wait::ready) {
        const ssize_t got = ::recv(fd, scratch, sizeof scratch, 0);
        if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
            break;
        }
    }
    ::close(fd);
}

Connection::Wait Connection::waitFor(short events, std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return Wait::peerClosedOrFailed;
        }
        if (ready == 0) {
            return Wait::timedOut;
        }
        if (fds[1].revents != 0) {
            return Wait::stopped;
        }
        // POLLHUP and POLLERR still let a read report the end or the error.
        return Wait::ready;
    }
}

bool Connection::receiveExactly(Bytes& into, std::size_t count)
{
    const std::size_t target = into.size() + count;
    std::uint8_t buffer[4096];
    while (into.size() < target) {
        if (waitFor(POLLIN, std::chrono::milliseconds(-1)) != Wait::ready) {
            return false;
        }
        const std::size_t want = std::min(sizeof buffer, target - into.size());
        const ssize_t got = ::recv(fd, buffer, want, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into.insert(into.end(), buffer, buffer + got);
    }
    return true;
}

std::optional<Bytes> Connection::receiveFrame()
{
    Bytes frame;
    if (!receiveExactly(frame, 4)) {
        if (!frame.empty()) {
            record(frame);
        }
        return std::nullopt;
    }
    const std::uint32_t length = FieldReader(frame).read32le();
    if (length < 4 || length > maxFrameLength) {
        record(frame);
        return std::nullopt;
    }
    const bool complete = receiveExactly(frame, length - 4);
    record(frame);
    if (!complete) {
        return std::nullopt;
    }
    return frame;
}

bool Connection::sendAll(const std::uint8_t* data, std::size_t count)
{
    std::size_t sent = 0;
    while (sent < count) {
        if (waitFor(POLLOUT, std::chrono::milliseconds(-1)) != Wait::ready) {
            return false;
        }
        const ssize_t wrote = ::send(fd, data + sent, count - sent, MSG_NOSIGNAL);
        if (wrote < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool Connection::sendReply(const Bytes& body, const ReplyShaping& shaping)
{
    const Bytes frame = shapeFrame(body, shaping);
    if (shaping.trickleDelay.count() > 0) {
        for (const std::uint8_t byte : frame) {
            if (waitFor(0, shaping.trickleDelay) != Wait::timedOut) {
                return false;
            }
            if (!sendAll(&byte, 1)) {
                return false;
            }
        }
    } else if (!sendAll(frame.data(), frame.size())) {
        return false;
    }
    return !shaping.frameLimit;
}

bool Connection::holdUntilPeerCloses()
{
    std::uint8_t scratch[512];
    while (waitFor(POLLIN, std::chrono::milliseconds(-1)) == Wait::ready) {
        const ssize_t got = ::recv(fd, scratch, sizeof scratch, 0);
        if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
            return true;
        }
    }
    return false;
}

// ---- Server

Server::Server(const Endpoint& endpoint, bool listen, LogSink log)
    : logSink(std::move(log)), boundAddress(endpoint.address), listening(listen)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    if (inet_pton(AF_INET, endpoint.address.c_str(), &address.sin_addr) != 1) {
        throw std::invalid_argument("not a dotted IPv4 address: \"" + endpoint.address + "\"");
    }
    stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        throw socketError("eventfd");
    }
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd < 0) {
        const auto error = socketError("socket");
        ::close(stopFd);
        throw error;
    }
    const int on = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t size = sizeof address;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(listenFd, 64) != 0) ||
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const auto error = socketError("cannot listen on " + endpoint.address + ":" +
                                       std::to_string(endpoint.port));
        ::close(listenFd);
        ::close(stopFd);
        throw error;
    }
    boundPort = ntohs(address.sin_port);
}

Server::~Server()
{
    stop();
    ::close(listenFd);
    ::close(stopFd);
}

std::string Server::endpointText() const
{
    return boundAddress + ":" + std::to_string(boundPort);
}

void Server::start()
{
    if (listening) {
        acceptThread = std::thread([this] { acceptLoop(); });
    }
}

void Server::stop()
{
    if (stopping.exchange(true)) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(stopFd, &one, sizeof one);
    if (acceptThread.joinable()) {
        acceptThread.join();
    }
    std::lock_guard lock(workersMutex);
    for (Worker& worker : workers) {
        worker.thread.join();
    }
    workers.clear();
}

void Server::reapFinished()
{
    std::lock_guard lock(workersMutex);
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::acceptLoop()
{
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (ready <= 0) {
            continue;
        }
        const int accepted = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (accepted < 0) {
            continue;
        }
        const int on = 1;
        ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard lock(recordsMutex);
            ++connections;
        }
        reapFinished();
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard lock(workersMutex);
        workers.push_back({std::thread([this, accepted, done] {
                               try {
                                   Connection connection(accepted, stopFd, [this](const Bytes& f) {
                                       recordRequest(f);
                                   });
                                   serve(connection);
                               } catch (const std::exception& error) {
                                   log(std::string("connection failed: ") + error.what());
                               }
                               done->store(true);
                           }),
                           done});
    }
}

std::size_t Server::connectionCount() const
{
    std::lock_guard lock(recordsMutex);
    return connections;
}

std::vector<Bytes> Server::requests() const
{
    std::lock_guard lock(recordsMutex);
    return received;
}

void Server::clearRecords()
{
    std::lock_guard lock(recordsMutex);
    connections = 0;
    received.clear();
}

void Server::recordRequest(const Bytes& frame)
{
    std::lock_guard lock(recordsMutex);
    received.push_back(frame);
}

void Server::log(const std::string& line) const
{
    if (logSink) {
        logSink(line);
    }
}

} // namespace testservice
