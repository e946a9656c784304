#include "crypt/ElGamalPublicKey.h"
#include "crypt/SymmetricKey.h"
#include "net/TimedSocket.h"
#include "registration/LogText.h"
#include "registration/RegistrationClient.h"
#include "registration/ServerWalk.h"
#include "wire/WireBuffer.h"

#include <optional>
#include <string>

namespace {

using LumenCryptMini::ElGamalPublicKey;
using LumenCryptMini::SymmetricKey;

constexpr std::uint8_t headerType = 5;
constexpr std::uint16_t dbProxyServiceType = 0;
constexpr std::uint16_t publicKeyRequestType = 1;
constexpr std::uint16_t registrationMessageType = 2;
constexpr std::uint32_t registrationFixedWord = 17;
constexpr std::int32_t symmetricKeyLength = 8;
constexpr std::uint16_t errorBit = 0x8000;

constexpr std::size_t maxFieldLength = 0xFFFF;
// Record bytes besides the text: the field count, five tags and five
// lengths, and the four one-byte values.
constexpr std::size_t recordOverhead = 20;
// Header, fixed word and ciphertext length ahead of the ciphertext.
constexpr std::size_t registrationHeaderLength = 11;
constexpr std::size_t maxBodyLength = TimedSocket::maxFrameLength - 4;

WireBuffer publicKeyRequest()
{
    WireBuffer request;
    request.appendUInt8(headerType)
        .appendUInt16(dbProxyServiceType)
        .appendUInt16(publicKeyRequestType);
    return request;
}

void appendOneByteField(WireBuffer& record, std::uint8_t tag, std::uint8_t value)
{
    record.appendUInt8(tag).appendUInt16(1).appendUInt8(value);
}

} // namespace

bool RegistrationClient::sendRegistration()
{
    appendLog("Sending registration information.");
    // A text refused by a server's key is the caller's to fix, so it names
    // the failure when no server reached a verdict.
    bool textTooLong = false;

    auto attempt = [&](const SocketAddress& server) -> AttemptOutcome {
        // Both keys draw their randomness before the server is contacted, so
        // that a failed system generator sends nothing at all: keys from the
        // guessable sample alone would give the record away.
        ElGamalPublicKey publicKey;
        SymmetricKey symmetricKey(symmetricKeyLength);
        if (!publicKey.hasRandomness() || !symmetricKey.hasKey()) {
            appendLog("System random generator failed.");
            fail(FailureReason::internal);
            return AttemptOutcome::stopped;
        }

        TimedSocket socket(SocketType::stream);
        if (!connectTo(socket, server)) {
            return AttemptOutcome::nextServer;
        }

        std::optional<WireBuffer> keyReply =
            exchangeMessage(socket, publicKeyRequest(), "Sending public key request.",
                            "Receiving publickey reply.");
        if (!keyReply) {
            return AttemptOutcome::nextServer;
        }
        const std::uint16_t blobLength = keyReply->readUInt16();
        const std::uint8_t* blob = keyReply->readBytes(blobLength);
        if (!publicKey.load(blob, blobLength)) {
            appendLog("Invalid public key.");
            return AttemptOutcome::nextServer;
        }

        // Every length below travels in 16 bits and the frame is capped;
        // a text too long for them would go out with wrapped lengths.
        if (registrationText.size() + recordOverhead > maxFieldLength) {
            appendLog("Registration message too large.");
            textTooLong = true;
            return AttemptOutcome::nextServer;
        }
        WireBuffer record;
        record.appendUInt8(5).appendUInt8(1).appendString(registrationText);
        appendOneByteField(record, 2, static_cast<std::uint8_t>(registrationSetting));
        appendOneByteField(record, 3, firstFlag ? 1 : 0);
        appendOneByteField(record, 4, secondFlag ? 1 : 0);
        appendOneByteField(record, 5, thirdFlag ? 1 : 0);

        const ByteString& keyBytes = symmetricKey.keyBytes();
        WireBuffer innerBlock;
        innerBlock.appendUInt16(static_cast<std::uint16_t>(keyBytes.size()))
            .appendBytes(keyBytes.data(), keyBytes.size())
            .appendUInt16(static_cast<std::uint16_t>(record.size()))
            .appendBytes(record.data(), record.size());

        // Known before encrypting, so an oversize message costs no
        // exponentiations.
        const std::size_t ciphertextLength = publicKey.ciphertextLength(innerBlock.size());
        if (ciphertextLength > maxFieldLength ||
            registrationHeaderLength + ciphertextLength > maxBodyLength) {
            appendLog("Registration message too large.");
            textTooLong = true;
            return AttemptOutcome::nextServer;
        }
        ByteString ciphertext;
        if (!publicKey.encrypt(innerBlock.data(), static_cast<std::int32_t>(innerBlock.size()),
                               ciphertext)) {
            appendLog("Failed to encrypt with public key.");
            return AttemptOutcome::nextServer;
        }

        WireBuffer message;
        message.appendUInt8(headerType)
            .appendUInt16(dbProxyServiceType)
            .appendUInt16(registrationMessageType)
            .appendUInt32(registrationFixedWord)
            .appendUInt16(static_cast<std::uint16_t>(ciphertext.size()))
            .appendBytes(ciphertext.data(), ciphertext.size());
        std::optional<WireBuffer> reply = exchangeMessage(
            socket, message, "Sending registration message.", "Receiving registration reply.");
        if (!reply) {
            return AttemptOutcome::nextServer;
        }
        const std::uint16_t dbProxyStatus = reply->readUInt16();
        if ((dbProxyStatus & errorBit) != 0) {
            appendLog("Error from DBProxy: " + signedText16(dbProxyStatus));
            fail(FailureReason::dbProxyError, static_cast<std::int16_t>(dbProxyStatus));
            return AttemptOutcome::stopped;
        }
        const std::uint16_t sealedLength = reply->readUInt16();
        const std::uint8_t* sealed = reply->readBytes(sealedLength);
        ByteString plaintext;
        const WipeOnExit plaintextWipe(plaintext);
        if (!symmetricKey.decrypt(sealed, sealedLength, plaintext)) {
            appendLog("Error decrypting registration reply with symmetric key.");
            return AttemptOutcome::nextServer;
        }

        WireBuffer verdict(plaintext.data(), plaintext.size());
        const std::uint16_t databaseStatus = verdict.readUInt16();
        if (databaseStatus != 0) {
            appendLog("Error from database: " + signedText16(databaseStatus));
            fail(FailureReason::databaseError, static_cast<std::int16_t>(databaseStatus));
            return AttemptOutcome::stopped;
        }
        verdict.readString(resultString);
        return AttemptOutcome::succeeded;
    };
    if (walkServers(*this, dbProxyAddresses, attempt, "Invalid message format.  Unpack failed.",
                    "Failed all DBProxy servers.", FailureReason::dbProxyUnreachable)) {
        return true;
    }
    if (textTooLong && failure.reason == FailureReason::dbProxyUnreachable) {
        fail(FailureReason::textTooLong);
    }
    return false;
}
