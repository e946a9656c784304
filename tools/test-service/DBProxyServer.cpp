#define OPENSSL_SUPPRESS_DEPRECATED // BF_* is deprecated in OpenSSL 3 but still the plain cipher
#include "test-service/DBProxyServer.h"

#include "test-service/Connection.h"
#include "test-service/Wire.h"

#include <openssl/blowfish.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace testservice {

namespace {

using Mode = DBProxyBehaviour::Mode;

bool hasHeader(const Bytes& frame, std::uint8_t header, std::uint16_t service,
               std::uint16_t message)
{
    if (frame.size() < 9) {
        return false;
    }
    FieldReader reader(frame, 4);
    return reader.read8() == header && reader.read16le() == service && reader.read16le() == message;
}

void decodeRecord(ReceivedRegistration& out)
{
    FieldReader reader(out.record);
    const unsigned fieldCount = reader.read8();
    if (fieldCount != 5) {
        out.problems.push_back("record field count " + std::to_string(fieldCount));
    }
    std::uint8_t* oneByteFields[] = {&out.setting, &out.firstFlag, &out.secondFlag, &out.thirdFlag};
    for (unsigned i = 0; i < fieldCount; ++i) {
        const unsigned tag = reader.read8();
        const std::size_t length = reader.read16le();
        const Bytes value = reader.readBytes(length);
        const std::string field = "record field " + std::to_string(i + 1) + ": ";
        if (tag != i + 1) {
            out.problems.push_back(field + "tag " + std::to_string(tag));
        }
        if (i == 0) {
            out.text = value;
            if (value.empty() || value.back() != 0) {
                out.problems.push_back(field + "text without its terminating zero byte");
            }
            continue;
        }
        if (length != 1) {
            out.problems.push_back(field + "length " + std::to_string(length));
        }
        if (i < 5 && !value.empty()) {
            *oneByteFields[i - 1] = value[0];
            if (i >= 2 && value[0] > 1) {
                out.problems.push_back(field + "flag value " + std::to_string(value[0]));
            }
        }
    }
    if (reader.remaining() != 0) {
        out.problems.push_back(std::to_string(reader.remaining()) + " bytes after the record");
    }
    if (out.record.size() != 20 + out.text.size()) {
        out.problems.push_back("record of " + std::to_string(out.record.size()) +
                               " bytes for a text of " + std::to_string(out.text.size()));
    }
}

std::string describe(const ReceivedRegistration& registration)
{
    std::string text =
        "registration: " + std::to_string(registration.ciphertext.size()) +
        " ciphertext bytes in " + std::to_string(registration.blockCount) +
        " blocks; symmetric key " + hexText(registration.symmetricKey) + "; text \"" +
        quotedText(registration.text) + "\" (" + std::to_string(registration.text.size()) +
        " bytes); setting " + std::to_string(registration.setting) + "; flags " +
        std::to_string(registration.firstFlag) + " " + std::to_string(registration.secondFlag) +
        " " + std::to_string(registration.thirdFlag) + "; record " + hexText(registration.record);
    for (const std::string& problem : registration.problems) {
        text += "\n  problem: " + problem;
    }
    return text;
}

} // namespace

Bytes encryptReply(const Bytes& key, const Bytes& message, std::optional<std::uint32_t> prefix)
{
    if (key.empty()) {
        throw std::invalid_argument("Blowfish needs a key of at least one byte");
    }
    Bytes plain;
    append32le(plain, prefix ? *prefix : static_cast<std::uint32_t>(message.size()));
    appendBytes(plain, message);
    const std::size_t filler = (8 - plain.size() % 8) % 8;
    Bytes random(filler);
    if (filler > 0 && RAND_bytes(random.data(), static_cast<int>(filler)) != 1) {
        throw std::runtime_error("OpenSSL RAND_bytes failed");
    }
    appendBytes(plain, random);

    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
    unsigned char iv[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    Bytes cipher(plain.size());
    BF_cbc_encrypt(plain.data(), cipher.data(), static_cast<long>(plain.size()), &schedule, iv,
                   BF_ENCRYPT);
    return cipher;
}

DBProxyServer::DBProxyServer(const Endpoint& endpoint, DBProxyBehaviour initial, LogSink sink)
    : DBProxyServer(endpoint, ElGamalKey::fromGroup(1024), std::move(initial), std::move(sink))
{
}

DBProxyServer::DBProxyServer(const Endpoint& endpoint, ElGamalKey key, DBProxyBehaviour initial,
                             LogSink sink)
    : Server(endpoint, initial.mode != Mode::refuse, std::move(sink)), privateKey(std::move(key)),
      behaviour(std::move(initial))
{
    start();
}

DBProxyServer::~DBProxyServer()
{
    stop();
}

void DBProxyServer::setBehaviour(DBProxyBehaviour changed)
{
    if ((changed.mode == Mode::refuse) == isListening()) {
        throw std::logic_error("a DBProxy server refuses or listens for its whole life");
    }
    std::lock_guard lock(stateMutex);
    behaviour = std::move(changed);
}

DBProxyBehaviour DBProxyServer::currentBehaviour() const
{
    std::lock_guard lock(stateMutex);
    return behaviour;
}

std::size_t DBProxyServer::keyRequestCount() const
{
    std::lock_guard lock(stateMutex);
    return keyRequests;
}

std::vector<ReceivedRegistration> DBProxyServer::registrations() const
{
    std::lock_guard lock(stateMutex);
    return decoded;
}

ReceivedRegistration DBProxyServer::decode(const Bytes& frame) const
{
    ReceivedRegistration out;
    out.frame = frame;
    try {
        FieldReader message(frame, 9);
        out.fixedWord = message.read32le();
        if (out.fixedWord != 17) {
            out.problems.push_back("fixed word " + std::to_string(out.fixedWord));
        }
        const std::size_t length = message.read16le();
        out.ciphertext = message.readBytes(length);
        if (message.remaining() != 0) {
            out.problems.push_back(std::to_string(message.remaining()) +
                                   " bytes after the ciphertext");
        }
    } catch (const ShortMessage& error) {
        out.problems.push_back(std::string("registration message: ") + error.what());
        return out;
    }

    ElGamalDecryption decryption = privateKey.decrypt(out.ciphertext);
    out.blockCount = decryption.blockCount;
    out.innerBlock = std::move(decryption.plaintext);
    out.problems.insert(out.problems.end(), decryption.problems.begin(), decryption.problems.end());

    try {
        FieldReader inner(out.innerBlock);
        const std::size_t keyLength = inner.read16le();
        if (keyLength != 8) {
            out.problems.push_back("symmetric key length " + std::to_string(keyLength));
        }
        out.symmetricKey = inner.readBytes(keyLength);
        const std::size_t recordLength = inner.read16le();
        out.record = inner.readBytes(recordLength);
        if (inner.remaining() != 0) {
            out.problems.push_back(std::to_string(inner.remaining()) +
                                   " bytes after the record in the inner block");
        }
        decodeRecord(out);
    } catch (const ShortMessage& error) {
        out.problems.push_back(std::string("inner block: ") + error.what());
    }
    return out;
}

void DBProxyServer::serve(Connection& connection)
{
    const std::string where = "dbproxy " + endpointText() + ": ";
    DBProxyBehaviour now = currentBehaviour();
    if (now.mode == Mode::closeAtOnce) {
        log(where + "connection closed at once");
        return;
    }
    while (const auto frame = connection.receiveFrame()) {
        now = currentBehaviour();
        if (hasHeader(*frame, 5, 0, 1)) {
            {
                std::lock_guard lock(stateMutex);
                ++keyRequests;
            }
            log(where + "public-key request " + hexText(Bytes(frame->begin() + 4, frame->end())));
            if (now.mode == Mode::closeAfterKeyRequest) {
                log(where + "closing without a key reply");
                return;
            }
            if (now.mode == Mode::stallAtKeyReply) {
                log(where + "stalling without a key reply");
                if (connection.holdUntilPeerCloses()) {
                    log(where + "peer closed the connection");
                }
                return;
            }
            Bytes body;
            if (now.keyReplyBody) {
                body = *now.keyReplyBody;
            } else {
                const Bytes blob = now.keyBlob ? *now.keyBlob
                                   : now.zeroModulus
                                       ? derIntegerSequence({Bytes{}, privateKey.q(),
                                                             privateKey.g(), privateKey.y()})
                                       : privateKey.derBlob();
                append16le(body, static_cast<std::uint16_t>(blob.size()));
                appendBytes(body, blob);
            }
            log(where + "key reply " + std::to_string(body.size()) + " bytes");
            if (!connection.sendReply(body, now.keyReplyShaping)) {
                return;
            }
            continue;
        }
        if (!hasHeader(*frame, 5, 0, 2)) {
            log(where + "unknown request " + hexText(*frame) + "; closing");
            return;
        }

        ReceivedRegistration registration = decode(*frame);
        log(where + describe(registration));
        const Bytes clientKey = registration.symmetricKey;
        {
            std::lock_guard lock(stateMutex);
            decoded.push_back(std::move(registration));
        }
        if (now.mode == Mode::stallAtRegistrationReply) {
            log(where + "stalling without a registration reply");
            if (connection.holdUntilPeerCloses()) {
                log(where + "peer closed the connection");
            }
            return;
        }

        Bytes body;
        if (now.registrationReplyBody) {
            body = *now.registrationReplyBody;
        } else {
            append16le(body, now.dbproxyStatus);
            if ((now.dbproxyStatus & 0x8000) == 0) {
                if (clientKey.empty()) {
                    log(where + "no symmetric key to answer under; closing");
                    return;
                }
                Bytes message;
                if (now.replyPlaintext) {
                    message = *now.replyPlaintext;
                } else {
                    append16le(message, now.databaseStatus);
                    append16le(message, static_cast<std::uint16_t>(now.result.size()));
                    appendBytes(message, now.result);
                }
                Bytes key = clientKey;
                if (now.cipher == DBProxyBehaviour::Cipher::wrongKey) {
                    key[0] ^= 0x5a;
                }
                Bytes cipher = encryptReply(key, message, now.lengthPrefix);
                if (now.cipher == DBProxyBehaviour::Cipher::notMultipleOf8) {
                    cipher.pop_back();
                } else if (now.cipher == DBProxyBehaviour::Cipher::empty) {
                    cipher.clear();
                }
                append16le(body, static_cast<std::uint16_t>(cipher.size()));
                appendBytes(body, cipher);
            }
        }
        log(where + "registration reply " + std::to_string(body.size()) +
            " bytes, DBProxy status " + std::to_string(now.dbproxyStatus) + ", database status " +
            std::to_string(now.databaseStatus) + ", result \"" + quotedText(now.result) + "\"");
        if (!connection.sendReply(body, now.registrationReplyShaping)) {
            return;
        }
    }
}

} // namespace testservice
