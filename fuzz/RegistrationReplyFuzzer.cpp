// The registration reply as the real sendRegistration reads it: a whole
// exchange with a DBProxy on loopback that holds a fixed 128-bit key,
// decrypts the registration message to learn this attempt's symmetric key,
// and answers with what the input chooses, encrypted under that key. The
// DBProxy status, the Blowfish framing and the decrypted reply are all the
// fuzzer's; the outcome, the log and the result string are compared with a
// reading of the same bytes made here.
//
// The DBProxy is the harness's own, on the test service's ElGamal and
// Blowfish: it acknowledges every segment at once. The client sends a length
// prefix and its body in two writes, so against a peer that delays its
// acknowledgements each message would wait out the delayed-ACK timer
// (some 40 ms on Linux) and the run would crawl.
//
// Input: a control byte (bit 0: the rest is the raw reply body; bits 1-2:
// normal, wrong key, ciphertext one byte short, empty ciphertext; bit 3: a
// length prefix of its own follows), the DBProxy status (u16), the optional
// prefix (u32), then the decrypted message.

#include "FuzzSupport.h"
#include "registration/RegistrationClient.h"
#include "test-service/DBProxyServer.h"
#include "test-service/Wire.h"

#include <arpa/inet.h>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using fuzzsupport::exchangeTimeoutMs;
using testservice::Bytes;
using testservice::DBProxyBehaviour;

const std::string exchangeLines = "Sending registration information.\n"
                                  "Connecting to 127.0.0.1\n"
                                  "Sending public key request.\n"
                                  "Receiving publickey reply.\n"
                                  "Sending registration message.\n"
                                  "Receiving registration reply.\n";
const std::string unpackFailed =
    "Invalid message format.  Unpack failed.\nFailed all DBProxy servers.\n";
const std::string undecryptable =
    "Error decrypting registration reply with symmetric key.\nFailed all DBProxy servers.\n";

std::string signedText(unsigned value)
{
    return std::to_string(value >= 0x8000u ? static_cast<int>(value) - 0x10000
                                           : static_cast<int>(value));
}

struct Expected {
    bool known = true; // false when the bytes the client decrypts are not ours to know
    bool accepted = false;
    std::string lines;
    Bytes result;
};

// The decrypted reply: database status, then the result string.
Expected readVerdict(const Bytes& plain)
{
    Expected out;
    if (plain.size() < 2) {
        out.lines = unpackFailed;
        return out;
    }
    const unsigned status = plain[0] + 256u * plain[1];
    if (status != 0) {
        out.lines = "Error from database: " + signedText(status) + "\n";
        return out;
    }
    const std::size_t length = plain.size() < 4 ? 0 : plain[2] + 256u * plain[3];
    if (plain.size() < 4 || plain.size() - 4 < length) {
        out.lines = unpackFailed;
        return out;
    }
    out.accepted = true;
    out.result.assign(plain.begin() + 4, plain.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    return out;
}

// A body the client reads up to the ciphertext: status, length, bytes.
std::optional<Expected> readReplyHead(const Bytes& body)
{
    Expected out;
    if (body.size() < 2) {
        out.lines = unpackFailed;
        return out;
    }
    const unsigned status = body[0] + 256u * body[1];
    if (status & 0x8000u) {
        out.lines = "Error from DBProxy: " + signedText(status) + "\n";
        return out;
    }
    if (body.size() < 4 || body.size() - 4 < body[2] + 256u * body[3]) {
        out.lines = unpackFailed;
        return out;
    }
    const std::size_t sealed = body[2] + 256u * body[3];
    if (sealed == 0 || sealed % 8 != 0) {
        out.lines = undecryptable;
        return out;
    }
    return std::nullopt;
}

// What a DBProxy answering under the client's own key makes the client see:
// c is the length prefix, n the length of the padded ciphertext.
Expected readSealedReply(const Bytes& message, std::uint32_t prefix)
{
    const std::size_t n = (4 + message.size() + 7) / 8 * 8;
    const auto c = static_cast<std::int32_t>(prefix);
    if (c < 0 || static_cast<std::size_t>(c) > n - 4 ||
        (n > 12 && static_cast<std::size_t>(c) < n - 12)) {
        return {true, false, undecryptable, {}};
    }
    if (static_cast<std::size_t>(c) > message.size()) {
        return {false, false, {}, {}}; // the server's random filler is part of it
    }
    return readVerdict(Bytes(message.begin(), message.begin() + c));
}

testservice::ElGamalKey fixedKey()
{
    return testservice::ElGamalKey::fromParameters(
        testservice::parseHex("FEB183E89BEE8C3456010B169B1379CB"),
        testservice::parseHex("7F58C1F44DF7461A2B00858B4D89BCE5"), Bytes{2},
        testservice::parseHex("02D5A1C0F3B64E2917A0C55D3E1B9F02"));
}

// One connection at a time, on a thread of its own, answering as `reply`
// says. Lives until the process ends.
class QuickDBProxy {
  public:
    QuickDBProxy() : key(fixedKey())
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        FUZZ_CHECK(listener >= 0 &&
                   ::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                   ::listen(listener, 16) == 0 &&
                   ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) == 0);
        address.parse(("127.0.0.1:" + std::to_string(ntohs(local.sin_port))).c_str());
        std::thread([this] {
            for (;;) {
                const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection >= 0) {
                    serve(connection);
                    ::close(connection);
                }
            }
        }).detach();
    }

    void answerWith(DBProxyBehaviour behaviour)
    {
        std::lock_guard lock(mutex);
        reply = std::move(behaviour);
    }

    SocketAddress address;

  private:
    bool receive(int connection, std::uint8_t* into, std::size_t count)
    {
        const int on = 1;
        while (count != 0) {
            ::setsockopt(connection, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            const ssize_t got = ::recv(connection, into, count, 0);
            if (got <= 0) {
                return false;
            }
            into += got;
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }

    std::optional<Bytes> receiveFrame(int connection)
    {
        std::uint8_t prefix[4];
        if (!receive(connection, prefix, 4)) {
            return std::nullopt;
        }
        const std::uint32_t length = testservice::FieldReader(Bytes(prefix, prefix + 4)).read32le();
        if (length < 4 || length > testservice::maxFrameLength) {
            return std::nullopt;
        }
        Bytes body(length - 4);
        return receive(connection, body.data(), body.size()) ? std::optional(body) : std::nullopt;
    }

    static void sendFrame(int connection, const Bytes& body)
    {
        Bytes frame;
        testservice::append32le(frame, static_cast<std::uint32_t>(body.size() + 4));
        testservice::appendBytes(frame, body);
        FUZZ_CHECK(::send(connection, frame.data(), frame.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(frame.size()));
    }

    void serve(int connection)
    {
        DBProxyBehaviour now;
        {
            std::lock_guard lock(mutex);
            now = reply;
        }
        const int on = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (!receiveFrame(connection)) {
            return;
        }
        Bytes keyReply;
        const Bytes blob = key.derBlob();
        testservice::append16le(keyReply, static_cast<std::uint16_t>(blob.size()));
        testservice::appendBytes(keyReply, blob);
        sendFrame(connection, keyReply);

        const auto message = receiveFrame(connection);
        FUZZ_CHECK(message.has_value());
        testservice::FieldReader fields(*message, 9);
        const std::size_t sealedLength = fields.read16le();
        const auto inner = key.decrypt(fields.readBytes(sealedLength));
        FUZZ_CHECK(inner.problems.empty());
        testservice::FieldReader innerFields(inner.plaintext);
        Bytes clientKey = innerFields.readBytes(innerFields.read16le());

        Bytes body;
        if (now.registrationReplyBody) {
            body = *now.registrationReplyBody;
        } else {
            testservice::append16le(body, now.dbproxyStatus);
            if ((now.dbproxyStatus & 0x8000u) == 0) {
                if (now.cipher == DBProxyBehaviour::Cipher::wrongKey) {
                    clientKey[0] ^= 0x5A;
                }
                Bytes sealed =
                    testservice::encryptReply(clientKey, *now.replyPlaintext, now.lengthPrefix);
                if (now.cipher == DBProxyBehaviour::Cipher::notMultipleOf8) {
                    sealed.pop_back();
                } else if (now.cipher == DBProxyBehaviour::Cipher::empty) {
                    sealed.clear();
                }
                testservice::append16le(body, static_cast<std::uint16_t>(sealed.size()));
                testservice::appendBytes(body, sealed);
            }
        }
        sendFrame(connection, body);
    }

    const testservice::ElGamalKey key;
    int listener = -1;
    std::mutex mutex;
    DBProxyBehaviour reply;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QuickDBProxy* const peer = [] {
        fuzzsupport::startSocketsOnce();
        return new QuickDBProxy;
    }();
    // Every length of the reply travels in 16 bits.
    if (size > 60000) {
        return 0;
    }
    fuzzsupport::InputReader input(data, size);
    const std::uint8_t control = input.byte();
    const bool raw = (control & 1) != 0;
    const auto cipher = static_cast<DBProxyBehaviour::Cipher>((control >> 1) & 3);

    DBProxyBehaviour behaviour;
    Expected expected;
    if (raw) {
        behaviour.registrationReplyBody = input.rest();
        const auto head = readReplyHead(*behaviour.registrationReplyBody);
        expected = head ? *head : Expected{false, false, {}, {}};
    } else {
        behaviour.dbproxyStatus = input.u16();
        if ((control & 8) != 0) {
            behaviour.lengthPrefix = input.u32();
        }
        behaviour.replyPlaintext = input.rest();
        behaviour.cipher = cipher;
        const Bytes& message = *behaviour.replyPlaintext;
        if ((behaviour.dbproxyStatus & 0x8000u) != 0) {
            expected.lines = "Error from DBProxy: " + signedText(behaviour.dbproxyStatus) + "\n";
        } else if (cipher == DBProxyBehaviour::Cipher::notMultipleOf8 ||
                   cipher == DBProxyBehaviour::Cipher::empty) {
            expected.lines = undecryptable;
        } else if (cipher == DBProxyBehaviour::Cipher::wrongKey) {
            expected.known = false;
        } else {
            expected = readSealedReply(message, behaviour.lengthPrefix.value_or(
                                                    static_cast<std::uint32_t>(message.size())));
        }
    }
    peer->answerWith(behaviour);

    RegistrationClient client;
    client.timeouts = {exchangeTimeoutMs, exchangeTimeoutMs, exchangeTimeoutMs};
    client.dbProxyAddresses.insert(peer->address);
    client.registrationText = {'a', 0};
    client.registrationSetting = 3;
    client.firstFlag = true;
    const bool accepted = client.sendRegistration();

    const std::string& log = client.progressLog.text();
    if (!expected.known) {
        FUZZ_CHECK(log.compare(0, exchangeLines.size(), exchangeLines) == 0);
        FUZZ_CHECK(accepted == (log.size() == exchangeLines.size()));
        return 0;
    }
    fuzzsupport::checkSameText(exchangeLines + expected.lines, log, "exchange log");
    FUZZ_CHECK(accepted == expected.accepted);
    if (accepted) {
        FUZZ_CHECK(client.resultString == expected.result);
    } else {
        FUZZ_CHECK(client.resultString.empty());
    }
    return 0;
}
