#include "net/TimedSocket.h"

#include "common/ByteOrder.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>

namespace {

SocketStatus asStatus(std::int32_t code)
{
    return static_cast<SocketStatus>(code);
}

SocketStatus lastError()
{
    return asStatus(Platform::lastSocketError());
}

std::uint32_t waitTime(std::int32_t left)
{
    return static_cast<std::uint32_t>(left);
}

std::array<std::uint8_t, 4> prefixBytes(std::uint32_t value)
{
    std::array<std::uint8_t, 4> bytes{};
    store32le(bytes.data(), value);
    return bytes;
}

} // namespace

std::int32_t remainingTime(std::uint32_t timeoutMs, std::uint32_t startTick)
{
    // Unsigned arithmetic wraps with the tick count; read as signed, a start
    // tick just before the wrap and a current tick just after it still give
    // the small elapsed time.
    const auto left = static_cast<std::int32_t>(timeoutMs + startTick - Platform::tickCount());
    return left > 0 ? left : 0;
}

TimedSocket::TimedSocket(SocketType kind) : type(kind) {}

std::int32_t TimedSocket::timeLeft(std::uint32_t timeoutMs, std::uint32_t startTick) const
{
    const std::int32_t left = remainingTime(timeoutMs, startTick);
    if (control == nullptr) {
        return left;
    }
    return static_cast<std::int32_t>(control->bound(static_cast<std::uint32_t>(left)));
}

Platform::WaitResult TimedSocket::wait(Platform::WaitSets watch, std::uint32_t timeoutMs)
{
    if (control == nullptr) {
        return Platform::waitSocket(handle, watch, timeoutMs);
    }
    // Slices short enough that a cancel from another thread is seen soon;
    // a socket that becomes ready still ends the wait at once.
    const std::uint32_t bounded = control->bound(timeoutMs);
    const std::uint32_t startTick = Platform::tickCount();
    for (;;) {
        if (control->cancelled()) {
            return {};
        }
        const auto left = static_cast<std::uint32_t>(remainingTime(bounded, startTick));
        const std::uint32_t slice = std::min(left, CallControl::wakeSliceMs);
        const Platform::WaitResult result = Platform::waitSocket(handle, watch, slice);
        if (result.count != 0 || slice == left) {
            return result;
        }
    }
}

TimedSocket::~TimedSocket()
{
    close();
}

void TimedSocket::setType(SocketType kind)
{
    if (kind != type) {
        close();
    }
    type = kind;
}

SocketStatus TimedSocket::open()
{
    if (isOpen()) {
        close();
    }
    const bool stream = type == SocketType::stream;
    handle = Platform::openSocket(stream ? Platform::SocketKind::stream
                                         : Platform::SocketKind::datagram);
    if (!isOpen()) {
        return lastError();
    }
    // Without lingering, closing a stream never waits for unsent data.
    const bool optionSet = stream ? Platform::setLingerOff(handle) : Platform::setBroadcast(handle);
    const SocketStatus optionStatus = optionSet ? ES_NO_ERROR : lastError();
    // The handle stays open when the option fails, so it must not block
    // either: a later call on it would outlast its timeout.
    if (!Platform::setNonBlocking(handle)) {
        return lastError();
    }
    return optionStatus;
}

SocketStatus TimedSocket::connect(const SocketAddress& address, std::uint32_t timeoutMs)
{
    if (type == SocketType::stream) {
        disconnect();
    }
    if (isCancelled()) {
        return cancelledStatus;
    }
    if (!isOpen()) {
        const SocketStatus status = open();
        if (status != ES_NO_ERROR) {
            return status;
        }
    }
    // The valid flag is deliberately not tested: an empty address fails here
    // with the platform's own code for it.
    if (!Platform::connectSocket(handle, address.record())) {
        const std::int32_t code = Platform::lastSocketError();
        if (code != Platform::wsaEWouldBlock) {
            return asStatus(code);
        }
    }
    connected = true;
    peerAddress = address;
    if (timeoutMs != 0 && type == SocketType::stream) {
        return waitConnect(timeoutMs);
    }
    return ES_NO_ERROR;
}

SocketStatus TimedSocket::waitConnect(std::uint32_t timeoutMs)
{
    if (!isOpen()) {
        return ES_INVALID_SOCKET;
    }
    const Platform::WaitResult result =
        wait({.read = false, .write = true, .exception = true}, timeoutMs);
    if (isCancelled()) {
        return cancelledStatus;
    }
    if (result.ready.exception) {
        // The failed connect's error can lag its report by a moment.
        Platform::sleepMilliseconds(1);
        const std::int32_t code = Platform::pendingSocketError(handle);
        return code != 0 ? asStatus(code) : ES_UNKNOWN_ERROR;
    }
    return result.count == 1 ? ES_NO_ERROR : ES_TIMED_OUT;
}

bool TimedSocket::waitWritable(std::uint32_t timeoutMs)
{
    if (!isOpen()) {
        return false;
    }
    return wait({.read = false, .write = true, .exception = false}, timeoutMs).count == 1;
}

bool TimedSocket::waitReadable(std::uint32_t timeoutMs)
{
    if (!isOpen()) {
        return false;
    }
    return wait({.read = true, .write = false, .exception = false}, timeoutMs).count == 1;
}

SocketStatus TimedSocket::sendBytes(const std::uint8_t* data, std::int32_t length,
                                    std::int32_t* sent, std::uint32_t timeoutMs)
{
    return sendRange(data, length, sent, timeoutMs, Platform::SendHint::last);
}

SocketStatus TimedSocket::sendRange(const std::uint8_t* data, std::int32_t length,
                                    std::int32_t* sent, std::uint32_t timeoutMs,
                                    Platform::SendHint hint)
{
    if (!isOpen()) {
        return ES_INVALID_SOCKET;
    }
    const std::uint32_t startTick = Platform::tickCount();
    std::int32_t count = 0;
    while (count < length) {
        const std::int32_t left = timeLeft(timeoutMs, startTick);
        const bool writable = waitWritable(waitTime(left));
        if (isCancelled()) {
            return cancelledStatus;
        }
        if (writable) {
            const std::int32_t done =
                Platform::sendSome(handle, data + count, length - count, hint);
            if (done < 0) {
                const std::int32_t code = Platform::lastSocketError();
                if (code != Platform::wsaEWouldBlock) {
                    return asStatus(code);
                }
            } else {
                count += done;
            }
        }
        // A spent timeout still gets this one zero-wait attempt.
        if (left == 0) {
            break;
        }
    }
    if (sent != nullptr) {
        *sent = count;
    }
    return count < length ? ES_TIMED_OUT : ES_NO_ERROR;
}

SocketStatus TimedSocket::receiveBytes(std::uint8_t* buffer, std::int32_t length,
                                       std::int32_t* received, std::uint32_t timeoutMs)
{
    if (!isOpen()) {
        return ES_INVALID_SOCKET;
    }
    const bool datagram = type == SocketType::datagram;
    const std::uint32_t startTick = Platform::tickCount();
    std::int32_t count = 0;
    bool anything = false;
    while (count < length) {
        const std::int32_t left = timeLeft(timeoutMs, startTick);
        const bool readable = waitReadable(waitTime(left));
        if (isCancelled()) {
            return cancelledStatus;
        }
        if (readable) {
            const std::int32_t done = Platform::receiveSome(handle, buffer + count, length - count);
            if (done < 0) {
                // Readable and yet nothing to read is a failure here, unlike
                // the send's would-block.
                return lastError();
            }
            if (done == 0) {
                if (anything || datagram) {
                    break;
                }
                return ES_SHUTDOWN;
            }
            count += done;
            anything = true;
            if (datagram) {
                break;
            }
        }
        if (left == 0) {
            break;
        }
    }
    if (received != nullptr) {
        *received = count;
    }
    if (!anything) {
        return ES_TIMED_OUT;
    }
    if (!datagram && count < length) {
        return ES_INCOMPLETE_RECV;
    }
    return ES_NO_ERROR;
}

SocketStatus TimedSocket::sendMessage(const std::uint8_t* body, std::uint32_t length,
                                      std::uint32_t timeoutMs)
{
    // A body whose frame length would not fit the signed byte count cannot
    // be sent whole; refuse it before anything goes out.
    if (length >
        static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) - prefixWidth) {
        return ES_MESSAGE_TOO_BIG;
    }
    const std::uint32_t startTick = Platform::tickCount();
    const std::array<std::uint8_t, 4> prefix = prefixBytes(length + prefixWidth);
    // Held back for the body only when there is one, and only on a stream.
    const Platform::SendHint hint = length > 0 && type == SocketType::stream
                                        ? Platform::SendHint::moreFollows
                                        : Platform::SendHint::last;
    const SocketStatus status = sendRange(prefix.data(), prefixWidth, nullptr, timeoutMs, hint);
    if (status != ES_NO_ERROR) {
        return status;
    }
    return sendBytes(body, static_cast<std::int32_t>(length), nullptr,
                     waitTime(remainingTime(timeoutMs, startTick)));
}

// Besides the statuses of receiveBytes, a frame is refused with
// ES_MESSAGE_TOO_BIG when its length field is above maxFrameLength, below the
// prefix width (no body size can be negative), or when its body cannot be
// allocated. A refused frame leaves progress at the prefix width with the
// refused length in the length field, so every later call refuses it again
// until close() resets the socket. An empty body (length field 4) completes
// without a body receive.
SocketStatus TimedSocket::receiveMessage(std::uint32_t timeoutMs)
{
    if (type == SocketType::datagram) {
        return ES_DATAGRAM_NOT_ALLOWED;
    }
    const std::uint32_t startTick = Platform::tickCount();
    if (progress == 0) {
        lengthField = 0;
    }
    std::int32_t count = 0;
    SocketStatus status = ES_NO_ERROR;
    if (progress < prefixWidth) {
        // The prefix fills the length field least significant byte first,
        // resuming at byte number progress.
        std::array<std::uint8_t, 4> prefix = prefixBytes(lengthField);
        status = receiveBytes(prefix.data() + progress,
                              static_cast<std::int32_t>(prefixWidth - progress), &count, timeoutMs);
        lengthField = load32le(prefix.data());
        if (status != ES_NO_ERROR) {
            return finishReceive(status, count);
        }
        progress = prefixWidth;
        if (lengthField > maxFrameLength || lengthField < prefixWidth) {
            return ES_MESSAGE_TOO_BIG;
        }
        ByteString().swap(messageBuffer);
        try {
            messageBuffer.resize(lengthField - prefixWidth);
        } catch (const std::bad_alloc&) {
            return ES_MESSAGE_TOO_BIG;
        }
    }
    // Only a buffer that matches an accepted length field may be written.
    if (lengthField > maxFrameLength || lengthField < prefixWidth || progress > lengthField ||
        messageBuffer.size() != lengthField - prefixWidth) {
        return ES_MESSAGE_TOO_BIG;
    }
    if (progress < lengthField) {
        status = receiveBytes(messageBuffer.data() + (progress - prefixWidth),
                              static_cast<std::int32_t>(lengthField - progress), &count,
                              waitTime(remainingTime(timeoutMs, startTick)));
        if (status != ES_NO_ERROR) {
            return finishReceive(status, count);
        }
    }
    lengthField -= prefixWidth;
    progress = 0;
    return ES_NO_ERROR;
}

SocketStatus TimedSocket::finishReceive(SocketStatus status, std::int32_t count)
{
    // A part of a frame is kept for the next call and reported as a timeout;
    // any other failure leaves progress as it was.
    if (status == ES_INCOMPLETE_RECV) {
        progress += static_cast<std::uint32_t>(count);
        return ES_TIMED_OUT;
    }
    return status;
}

std::uint32_t TimedSocket::messageLength() const
{
    // Between frames the length field is the body length and matches the
    // buffer; anything else means no complete body is on show.
    return progress == 0 && lengthField == messageBuffer.size() ? lengthField : 0;
}

void TimedSocket::disconnect()
{
    connected = false;
    if (type == SocketType::datagram && isOpen()) {
        // An all-zero address dissolves a datagram association.
        if (Platform::connectSocket(handle, Platform::SocketAddressRecord{})) {
            return;
        }
    }
    close();
}

void TimedSocket::close()
{
    if (isOpen()) {
        Platform::closeSocket(handle);
    }
    handle = Platform::invalidSocket;
    connected = false;
    progress = 0;
}
