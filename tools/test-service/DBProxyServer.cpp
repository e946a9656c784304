#define OPENSSL_SUPPRESS_DEPRECATED // BF_* is deprecated in OpenSSL 3 but still the plain cipher
#include "test-service/DBProxyServer.h"

#include "test-service/Connection.h"
#include "test-service/ResultTemplate.h"
#include "test-service/UtcTime.h"
#include "test-service/Wire.h"

#include <openssl/blowfish.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace testservice {

namespace {

using Mode = DBProxyBehaviour::Mode;

// [u16 database status][u16 result length][result], the plaintext of a
// registration reply.
Bytes databaseReply(std::uint16_t databaseStatus, const Bytes& result)
{
    if (result.size() > 0xffff) {
        throw std::length_error("a result of " + std::to_string(result.size()) +
                                " bytes does not fit its 16-bit length");
    }
    Bytes message;
    append16le(message, databaseStatus);
    append16le(message, static_cast<std::uint16_t>(result.size()));
    appendBytes(message, result);
    return message;
}

// The ciphertext the behaviour asks for.
Bytes seal(const Bytes& clientKey, const Bytes& message, const DBProxyBehaviour& now)
{
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
    return cipher;
}

Bytes withoutTerminatingZero(const Bytes& text)
{
    return !text.empty() && text.back() == 0 ? Bytes(text.begin(), text.end() - 1) : text;
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

bool resultFitsReply(std::size_t resultBytes)
{
    const std::size_t plain = 4 + 2 + 2 + resultBytes;
    return (plain + 7) / 8 * 8 <= 0xffff;
}

DBProxyServer::DBProxyServer(const Endpoint& endpoint, DBProxyBehaviour initial, LogSink sink)
    : DBProxyServer(endpoint, ElGamalKey::fromGroup(1024), std::move(initial), std::move(sink))
{
}

DBProxyServer::DBProxyServer(const Endpoint& endpoint, ElGamalKey key, DBProxyBehaviour initial,
                             LogSink sink, ServerOptions options, DBProxyServices shared)
    : Server("dbproxy", endpoint, initial.mode != Mode::refuse, std::move(sink),
             std::move(options)),
      privateKey(std::move(key)), services(std::move(shared)), behaviour(std::move(initial))
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

void DBProxyServer::serve(Connection& connection)
{
    if (currentBehaviour().mode == Mode::closeAtOnce) {
        log(connection, "connection closed at once");
        return;
    }
    while (const auto frame = connection.receiveFrame()) {
        const DBProxyBehaviour now = currentBehaviour();
        const DBProxyRequest request = dbproxyRequestOf(*frame);
        if (request == DBProxyRequest::unknown) {
            log(connection, "unknown request " + hexText(*frame) + "; closing");
            return;
        }
        const bool goOn = request == DBProxyRequest::publicKey
                              ? answerKeyRequest(connection, *frame, now)
                              : answerRegistration(connection, *frame, now);
        if (!goOn) {
            return;
        }
    }
}

bool DBProxyServer::answerKeyRequest(Connection& connection, const Bytes& frame,
                                     const DBProxyBehaviour& now)
{
    {
        std::lock_guard lock(stateMutex);
        ++keyRequests;
    }
    log(connection, "public-key request " + hexText(Bytes(frame.begin() + 4, frame.end())));
    if (now.mode == Mode::closeAfterKeyRequest) {
        log(connection, "closing without a key reply");
        return false;
    }
    if (now.mode == Mode::stallAtKeyReply) {
        stallWithout(connection, "a key reply");
        return false;
    }
    Bytes body;
    if (now.keyReplyBody) {
        body = *now.keyReplyBody;
    } else {
        const Bytes blob =
            now.keyBlob ? *now.keyBlob
            : now.zeroModulus
                ? derIntegerSequence({Bytes{}, privateKey.q(), privateKey.g(), privateKey.y()})
                : privateKey.derBlob();
        append16le(body, static_cast<std::uint16_t>(blob.size()));
        appendBytes(body, blob);
    }
    log(connection, "key reply " + std::to_string(body.size()) + " bytes");
    return connection.sendReply(body, now.keyReplyShaping);
}

bool DBProxyServer::answerRegistration(Connection& connection, const Bytes& frame,
                                       const DBProxyBehaviour& now)
{
    if (services.rate && !services.rate->admit(connection.address())) {
        log(connection, "more than " + std::to_string(services.rate->perMinute()) +
                            " registrations from " + connection.address() +
                            " in the last minute; closing without decrypting");
        count(ServiceMetrics::Outcome::overRate);
        return false;
    }
    std::optional<ReplayCache::Digest> digest;
    if (services.replays) {
        digest = ReplayCache::digestOf(frame);
        if (auto earlier = services.replays->find(*digest)) {
            const auto ago = std::chrono::duration_cast<std::chrono::milliseconds>(earlier->second);
            log(connection, "the same frame as one answered " + std::to_string(ago.count()) +
                                " ms ago; its reply again, neither decrypted nor stored");
            count(ServiceMetrics::Outcome::replay);
            logReply(connection, now, earlier->first, 0);
            return connection.sendReply(earlier->first.body, now.registrationReplyShaping);
        }
    }
    ReplayCache::Reply reply;
    std::int64_t storedAs = 0;
    std::optional<Bytes> body = registrationReply(connection, frame, now, reply, storedAs);
    if (!body) {
        return false;
    }
    reply.body = std::move(*body);
    logReply(connection, now, reply, storedAs);
    // Remembered before it is sent: the sender may replay the frame as soon
    // as the reply arrives.
    if (digest) {
        services.replays->remember(*digest, reply);
    }
    return connection.sendReply(reply.body, now.registrationReplyShaping);
}

std::optional<Bytes> DBProxyServer::registrationReply(Connection& connection, const Bytes& frame,
                                                      const DBProxyBehaviour& now,
                                                      ReplayCache::Reply& said,
                                                      std::int64_t& storedAs)
{
    using Outcome = ServiceMetrics::Outcome;
    ReceivedRegistration registration = decodeRegistration(frame, privateKey);
    log(connection, describeRegistration(registration, options().verbose));
    for (const std::string& problem : registration.problems) {
        log(connection, "  problem: " + problem);
    }
    const Bytes clientKey = registration.symmetricKey;
    const Bytes text = withoutTerminatingZero(registration.text);
    const StoredRegistration row{
        0,
        utcTimestamp(),
        connection.peer(),
        endpointText(),
        text,
        registration.setting,
        {registration.firstFlag, registration.secondFlag, registration.thirdFlag},
        now.databaseStatus,
        now.result};
    if (options().keepRecords) {
        std::lock_guard lock(stateMutex);
        decoded.push_back(std::move(registration));
    }
    if (now.mode == Mode::stallAtRegistrationReply) {
        stallWithout(connection, "a registration reply");
        return std::nullopt;
    }

    said.databaseStatus = now.databaseStatus;
    said.result = now.result;
    if (now.registrationReplyBody) {
        return *now.registrationReplyBody;
    }
    Bytes body;
    append16le(body, now.dbproxyStatus);
    if ((now.dbproxyStatus & 0x8000) != 0) {
        return body;
    }
    if (clientKey.empty()) {
        log(connection, "no symmetric key to answer under; closing");
        return std::nullopt;
    }
    Bytes cipher;
    Outcome outcome = now.databaseStatus == 0 ? Outcome::accepted : Outcome::refused;
    try {
        if (now.replyPlaintext) {
            cipher = seal(clientKey, *now.replyPlaintext, now);
        } else if (services.store) {
            const std::optional<std::string> retrySince =
                now.retryWindow.count() > 0
                    ? std::optional<std::string>(utcTimestamp(now.retryWindow))
                    : std::nullopt;
            const auto started = std::chrono::steady_clock::now();
            storedAs = services.store->store(
                row, retrySince,
                [&](const RegistrationStore::Precedent& precedent, std::int64_t id,
                    StoredRegistration& stored) {
                    if (precedent.retryOf) {
                        // Its first reply was lost: the same answer again.
                        log(connection, "a retry of an accepted registration; answered "
                                        "with its result");
                        said.databaseStatus = 0;
                        said.result = *precedent.retryOf;
                        stored.retry = true;
                        outcome = Outcome::retry;
                    } else {
                        said.databaseStatus =
                            precedent.textAccepted ? now.duplicateStatus : now.databaseStatus;
                        said.result = expandResult(now.result, id, text);
                        outcome = said.databaseStatus == 0 ? Outcome::accepted
                                  : precedent.textAccepted ? Outcome::duplicate
                                                           : Outcome::refused;
                    }
                    if (!resultFitsReply(said.result.size())) {
                        // Sent, its length would wrap to a small number and the
                        // client would fail to decrypt an answer stored as given.
                        log(connection, "a result of " + std::to_string(said.result.size()) +
                                            " bytes cannot fit the reply; refused with "
                                            "database status " +
                                            std::to_string(now.oversizeStatus));
                        said.databaseStatus = now.oversizeStatus;
                        said.result.clear();
                        outcome = Outcome::oversize;
                    }
                    cipher = seal(clientKey, databaseReply(said.databaseStatus, said.result), now);
                    stored.databaseStatus = said.databaseStatus;
                    stored.result = said.result;
                });
            if (services.metrics) {
                services.metrics->observeCommit(std::chrono::steady_clock::now() - started);
            }
        } else {
            cipher = seal(clientKey, databaseReply(said.databaseStatus, said.result), now);
        }
    } catch (const std::exception& error) {
        log(connection, std::string("no registration reply: ") + error.what() + "; closing");
        if (dynamic_cast<const StoreError*>(&error) != nullptr) {
            count(Outcome::storeFailure);
        }
        return std::nullopt;
    }
    if (cipher.size() > 0xffff) {
        log(connection, "a reply of " + std::to_string(cipher.size()) +
                            " bytes cannot fit its 16-bit length; closing");
        return std::nullopt;
    }
    append16le(body, static_cast<std::uint16_t>(cipher.size()));
    appendBytes(body, cipher);
    count(outcome);
    return body;
}

void DBProxyServer::logReply(const Connection& connection, const DBProxyBehaviour& now,
                             const ReplayCache::Reply& reply, std::int64_t storedAs) const
{
    const Bytes& result = reply.result;
    const bool showResult = options().verbose || !services.store || !resultShowsText(now.result);
    log(connection, "registration reply " + std::to_string(reply.body.size()) +
                        " bytes, DBProxy status " + std::to_string(now.dbproxyStatus) +
                        ", database status " + std::to_string(reply.databaseStatus) +
                        (showResult ? ", result \"" + quotedText(result) + "\""
                                    : ", result of " + std::to_string(result.size()) + " bytes") +
                        (storedAs != 0 ? ", stored as row " + std::to_string(storedAs) : ""));
}

void DBProxyServer::count(ServiceMetrics::Outcome outcome) const
{
    if (services.metrics) {
        services.metrics->count(outcome);
    }
}

} // namespace testservice
