#include "crypt/ElGamalPublicKey.h"
#include "crypt/SymmetricKey.h"
#include "net/TimedSocket.h"
#include "registration/RegistrationClient.h"
#include "registration/RegistrationMessage.h"
#include "registration/ServerWalk.h"
#include "wire/ProtocolConstants.h"
#include "wire/WireBuffer.h"

#include <optional>
#include <string_view>

namespace {

using LumenCryptMini::ElGamalPublicKey;
using LumenCryptMini::SymmetricKey;

constexpr std::string_view tooLargeText = "Registration message too large.";
constexpr std::string_view allFailedText = "Failed all DBProxy servers.";

// The key reply is the DER blob behind its 16-bit length.
bool receivePublicKey(RegistrationClient& client, TimedSocket& socket, ElGamalPublicKey& publicKey)
{
    std::optional<WireBuffer> reply = client.exchangeMessage(
        socket, publicKeyRequest(), "Sending public key request.", "Receiving publickey reply.");
    if (!reply) {
        return false;
    }
    const std::uint16_t blobLength = reply->readUInt16();
    const std::uint8_t* blob = reply->readBytes(blobLength);
    if (!publicKey.load(blob, blobLength)) {
        client.appendLog("Invalid public key.");
        return false;
    }
    return true;
}

// The DBProxy's status, then the database's status and the result string
// sealed under the session key.
AttemptOutcome readVerdict(RegistrationClient& client, WireBuffer& reply, SymmetricKey& sessionKey)
{
    const std::uint16_t dbProxyStatus = reply.readUInt16();
    if (Protocol::isErrorStatus(dbProxyStatus)) {
        client.failWithServerStatus("Error from DBProxy: ", REGISTER_REASON_DBPROXY_ERROR,
                                    dbProxyStatus);
        return AttemptOutcome::stopped;
    }
    const std::uint16_t sealedLength = reply.readUInt16();
    const std::uint8_t* sealed = reply.readBytes(sealedLength);
    ByteString plaintext;
    const WipeOnExit plaintextWipe(plaintext);
    if (!sessionKey.decrypt(sealed, sealedLength, plaintext)) {
        client.appendLog("Error decrypting registration reply with symmetric key.");
        return AttemptOutcome::nextServer;
    }

    WireBuffer verdict(plaintext.data(), plaintext.size());
    const std::uint16_t databaseStatus = verdict.readUInt16();
    if (databaseStatus != 0) {
        client.failWithServerStatus("Error from database: ", REGISTER_REASON_DATABASE_ERROR,
                                    databaseStatus);
        return AttemptOutcome::stopped;
    }
    verdict.readString(client.resultString);
    return AttemptOutcome::succeeded;
}

// One DBProxy: its public key, the record sealed under it, the verdict. A
// text this server's key cannot carry sets textTooLong.
AttemptOutcome registerAt(RegistrationClient& client, const SocketAddress& server,
                          bool& textTooLong)
{
    // Both keys draw their randomness before the server is contacted, so
    // that a failed system generator sends nothing at all: keys from the
    // guessable sample alone would give the record away.
    ElGamalPublicKey publicKey;
    SymmetricKey sessionKey(sessionKeyLength);
    if (!publicKey.hasRandomness() || !sessionKey.hasKey()) {
        client.appendLog("System random generator failed.");
        client.fail(REGISTER_REASON_INTERNAL);
        return AttemptOutcome::stopped;
    }

    TimedSocket socket(SocketType::stream);
    if (!client.connectTo(socket, server) || !receivePublicKey(client, socket, publicKey)) {
        return AttemptOutcome::nextServer;
    }

    const WireBuffer inner =
        innerBlock(sessionKey.keyBytes(),
                   registrationRecord(client.registrationText,
                                      static_cast<std::uint8_t>(client.registrationSetting),
                                      client.firstFlag, client.secondFlag, client.thirdFlag));
    if (!ciphertextFits(publicKey.ciphertextLength(inner.size()))) {
        client.appendLog(tooLargeText);
        textTooLong = true;
        return AttemptOutcome::nextServer;
    }
    ByteString ciphertext;
    if (!publicKey.encrypt(inner.data(), static_cast<std::int32_t>(inner.size()), ciphertext)) {
        client.appendLog("Failed to encrypt with public key.");
        return AttemptOutcome::nextServer;
    }

    std::optional<WireBuffer> reply =
        client.exchangeMessage(socket, registrationMessage(ciphertext),
                               "Sending registration message.", "Receiving registration reply.");
    return reply ? readVerdict(client, *reply, sessionKey) : AttemptOutcome::nextServer;
}

} // namespace

bool RegistrationClient::sendRegistration()
{
    appendLog("Sending registration information.");
    if (!textFitsSomeKey(registrationText.size())) {
        // No server's key could help, so no server is asked for one.
        appendLog(tooLargeText);
        appendLog(allFailedText);
        failure.server.clear();
        fail(REGISTER_REASON_TEXT_TOO_LONG);
        return false;
    }

    // A text refused by a server's key is the caller's to fix, so it names
    // the failure when no server reached a verdict.
    bool textTooLong = false;
    const auto attempt = [&](const SocketAddress& server) {
        return registerAt(*this, server, textTooLong);
    };
    if (walkServers(*this, dbProxyAddresses, attempt, "Invalid message format.  Unpack failed.",
                    allFailedText, REGISTER_REASON_DBPROXY_UNREACHABLE)) {
        return true;
    }
    if (textTooLong && failure.reason == REGISTER_REASON_DBPROXY_UNREACHABLE) {
        fail(REGISTER_REASON_TEXT_TOO_LONG);
    }
    return false;
}
