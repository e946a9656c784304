#include "test-service/Connection.h"

#include "test-service/Wire.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testservice {

namespace {

bool retryable(ssize_t result)
{
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

} // namespace

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

Connection::Connection(int socketFd, int stopEventFd, std::string peer,
                       std::chrono::milliseconds idle, std::chrono::milliseconds lifetime,
                       Recorder recorder)
    : fd(socketFd), stopFd(stopEventFd), peerText(std::move(peer)), idleTimeout(idle),
      idleDeadline(Clock::now() + idle),
      lifetimeDeadline(lifetime.count() > 0 ? Clock::now() + lifetime : Clock::time_point::max()),
      record(std::move(recorder))
{
}

Connection::~Connection()
{
    ::shutdown(fd, SHUT_WR);
    // An idle peer is not listening, and one past its lifetime has had its
    // time: neither is waited for.
    if (ended != End::idle && ended != End::lifetimeOver) {
        drainUntil(Clock::now() + idleTimeout);
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

Connection::Wait Connection::waitUntil(short events, Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return waitFor(events, std::chrono::milliseconds(std::max<decltype(left)>(left, 0)));
}

void Connection::endAs(Wait wait)
{
    ended = wait == Wait::stopped ? End::stopped
            : wait == Wait::timedOut
                ? (Clock::now() >= lifetimeDeadline ? End::lifetimeOver : End::idle)
                : End::peerClosed;
}

bool Connection::receiveExactly(Bytes& into, std::size_t count)
{
    const std::size_t target = into.size() + count;
    std::uint8_t buffer[4096];
    while (into.size() < target) {
        const Wait wait = waitUntil(POLLIN, withinLifetime(idleDeadline));
        if (wait != Wait::ready) {
            endAs(wait);
            return false;
        }
        const std::size_t want = std::min(sizeof buffer, target - into.size());
        const ssize_t got = ::recv(fd, buffer, want, 0);
        if (retryable(got)) {
            continue;
        }
        if (got <= 0) {
            ended = End::peerClosed;
            return false;
        }
        into.insert(into.end(), buffer, buffer + got);
    }
    return true;
}

std::optional<Bytes> Connection::receiveFrame()
{
    Bytes frame;
    const bool complete = [&] {
        if (!receiveExactly(frame, 4)) {
            return false;
        }
        const std::uint32_t length = FieldReader(frame).read32le();
        if (length < 4 || length > maxFrameLength) {
            ended = End::refused;
            return false;
        }
        return receiveExactly(frame, length - 4);
    }();
    if (record && !frame.empty()) {
        record(frame);
    }
    if (!complete) {
        return std::nullopt;
    }
    idleDeadline = Clock::now() + idleTimeout;
    return frame;
}

bool Connection::sendAll(const std::uint8_t* data, std::size_t count)
{
    // A client that never reads gets as long to take a reply as to send a
    // request.
    const Clock::time_point deadline = withinLifetime(Clock::now() + idleTimeout);
    std::size_t sent = 0;
    while (sent < count) {
        const Wait wait = waitUntil(POLLOUT, deadline);
        if (wait != Wait::ready) {
            endAs(wait);
            return false;
        }
        const ssize_t wrote = ::send(fd, data + sent, count - sent, MSG_NOSIGNAL);
        if (retryable(wrote)) {
            continue;
        }
        if (wrote <= 0) {
            ended = End::peerClosed;
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
            if (const Wait wait = waitFor(0, shaping.trickleDelay); wait != Wait::timedOut) {
                endAs(wait);
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

bool Connection::drainUntil(Clock::time_point deadline)
{
    std::uint8_t scratch[512];
    for (;;) {
        const Wait wait = waitUntil(POLLIN, deadline);
        if (wait != Wait::ready) {
            endAs(wait);
            return false;
        }
        const ssize_t got = ::recv(fd, scratch, sizeof scratch, 0);
        if (got <= 0 && !retryable(got)) {
            ended = End::peerClosed;
            return true;
        }
    }
}

bool Connection::holdUntilPeerCloses()
{
    return drainUntil(withinLifetime(idleDeadline));
}

} // namespace testservice
