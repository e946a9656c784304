#include "test-service/Server.h"

#include "test-service/Connection.h"
#include "test-service/UtcTime.h"
#include "test-service/Wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
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

std::system_error socketError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

std::string peerText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

} // namespace

Server::Server(std::string kind, const Endpoint& endpoint, bool listen, LogSink log,
               ServerOptions options)
    : logSink(std::move(log)), kindName(std::move(kind)), settings(std::move(options)),
      limit(settings.connectionLimit ? settings.connectionLimit
                                     : std::make_shared<ConnectionLimit>()),
      boundAddress(endpoint.address), listening(listen)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    const auto octets = parseIPv4(endpoint.address);
    std::memcpy(&address.sin_addr.s_addr, octets.data(), octets.size());
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
    int pause = -1;
    for (;;) {
        const int ready = ::poll(fds, 2, pause);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (ready < 0) {
            continue;
        }
        sockaddr_in client{};
        socklen_t size = sizeof client;
        const int accepted = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&client), &size,
                                       SOCK_CLOEXEC | SOCK_NONBLOCK);
        // Out of descriptors the listening socket stays readable: wait a
        // little for connections to end instead of spinning.
        pause = accepted < 0 &&
                        (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    ? 100
                    : -1;
        if (accepted < 0) {
            continue;
        }
        reapFinished();
        serveAccepted(accepted, peerText(client));
    }
}

void Server::serveAccepted(int socketFd, const std::string& peer)
{
    const std::string address = peer.substr(0, peer.rfind(':'));
    switch (limit->tryTake(address)) {
    case ConnectionLimit::Refusal::none:
        break;
    case ConnectionLimit::Refusal::overTotal:
        ::close(socketFd);
        logLine(eventLine(peer, "connection closed at once, " + std::to_string(limit->maximum()) +
                                    " connections already open"));
        return;
    case ConnectionLimit::Refusal::overAddress:
        ::close(socketFd);
        logLine(eventLine(peer, "connection closed at once, " +
                                    std::to_string(limit->maximumPerAddress()) +
                                    " connections already open from " + address));
        return;
    }
    const int on = 1;
    ::setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
        std::lock_guard lock(recordsMutex);
        ++connections;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto run = [this, socketFd, peer, address, done] {
        try {
            Connection::Recorder recorder;
            if (settings.keepRecords) {
                recorder = [this](const Bytes& frame) { recordRequest(frame); };
            }
            Connection connection(socketFd, stopFd, peer, settings.idleTimeout,
                                  settings.connectionLifetime, std::move(recorder));
            try {
                serve(connection);
                if (connection.end() == Connection::End::idle) {
                    log(connection, "no complete frame within " +
                                        std::to_string(settings.idleTimeout.count()) +
                                        " ms; closing");
                } else if (connection.end() == Connection::End::lifetimeOver) {
                    log(connection, "connection lifetime of " +
                                        std::to_string(settings.connectionLifetime.count()) +
                                        " ms over; closing");
                }
            } catch (const std::exception& error) {
                log(connection, std::string("connection failed: ") + error.what());
            }
        } catch (const std::exception& error) {
            logLine(std::string("connection failed: ") + error.what());
        }
        limit->giveBack(address);
        done->store(true);
    };
    std::lock_guard lock(workersMutex);
    try {
        workers.push_back({std::thread(run), done});
    } catch (const std::system_error& error) {
        // No thread to be had: the connection is refused like one over the
        // limit, and the service goes on.
        ::close(socketFd);
        limit->giveBackUnserved(address);
        logLine(eventLine(peer, std::string("connection closed at once, ") + error.what()));
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

std::string Server::eventLine(const std::string& peer, const std::string& event) const
{
    return utcTimestamp() + " " + peer + " " + kindName + " " + endpointText() + ": " + event;
}

void Server::log(const Connection& connection, const std::string& event) const
{
    logLine(eventLine(connection.peer(), event));
}

void Server::stallWithout(Connection& connection, const std::string& reply) const
{
    log(connection, "stalling without " + reply);
    if (connection.holdUntilPeerCloses()) {
        log(connection, "peer closed the connection");
    }
}

void Server::logLine(const std::string& line) const
{
    if (logSink) {
        logSink(line);
    }
}

} // namespace testservice
