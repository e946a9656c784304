#include "registration/RegistrationMessage.h"

#include "crypt/ElGamalPublicKey.h"
#include "net/TimedSocket.h"
#include "wire/ProtocolConstants.h"

#include <algorithm>

namespace {

// The field count, a tag and a 16-bit length per field, and the one-byte
// values of the fields after the text.
constexpr std::size_t recordOverhead =
    1 + Protocol::recordFieldCount * (1 + 2) + (Protocol::recordFieldCount - 1);
// The session key and the record, each behind its 16-bit length.
constexpr std::size_t innerBlockOverhead = 2 + sessionKeyLength + 2;
// Header, service and message types, fixed word and ciphertext length.
constexpr std::size_t registrationHeaderLength = 1 + 2 + 2 + 4 + 2;
constexpr std::size_t maxCiphertextLength = std::min<std::size_t>(
    Protocol::maxFieldLength, TimedSocket::maxFrameLength - 4 - registrationHeaderLength);

void appendOneByteField(WireBuffer& record, std::uint8_t tag, std::uint8_t value)
{
    record.appendUInt8(tag).appendUInt16(1).appendUInt8(value);
}

} // namespace

WireBuffer publicKeyRequest()
{
    WireBuffer request;
    request.appendUInt8(Protocol::headerType)
        .appendUInt16(Protocol::dbProxyService)
        .appendUInt16(Protocol::publicKeyRequest);
    return request;
}

WireBuffer registrationRecord(const ByteString& text, std::uint8_t setting, bool firstFlag,
                              bool secondFlag, bool thirdFlag)
{
    WireBuffer record;
    record.appendUInt8(Protocol::recordFieldCount)
        .appendUInt8(Protocol::textTag)
        .appendString(text);
    appendOneByteField(record, Protocol::settingTag, setting);
    appendOneByteField(record, Protocol::firstFlagTag, firstFlag ? 1 : 0);
    appendOneByteField(record, Protocol::secondFlagTag, secondFlag ? 1 : 0);
    appendOneByteField(record, Protocol::thirdFlagTag, thirdFlag ? 1 : 0);
    return record;
}

WireBuffer innerBlock(const ByteString& sessionKey, const WireBuffer& record)
{
    WireBuffer block;
    block.appendUInt16(static_cast<std::uint16_t>(sessionKey.size()))
        .appendBytes(sessionKey.data(), sessionKey.size())
        .appendUInt16(static_cast<std::uint16_t>(record.size()))
        .appendBytes(record.data(), record.size());
    return block;
}

WireBuffer registrationMessage(const ByteString& ciphertext)
{
    WireBuffer message;
    message.appendUInt8(Protocol::headerType)
        .appendUInt16(Protocol::dbProxyService)
        .appendUInt16(Protocol::registrationRequest)
        .appendUInt32(Protocol::registrationFixedWord)
        .appendUInt16(static_cast<std::uint16_t>(ciphertext.size()))
        .appendBytes(ciphertext.data(), ciphertext.size());
    return message;
}

bool textFitsSomeKey(std::size_t textLength)
{
    // The ciphertext is longer than the record it carries, so a record that
    // passes here also fits its own 16-bit length.
    return innerBlockOverhead + recordOverhead + textLength <=
           LumenCryptMini::ElGamalPublicKey::longestPlaintextWithin(maxCiphertextLength);
}

bool ciphertextFits(std::size_t ciphertextLength)
{
    return ciphertextLength <= maxCiphertextLength;
}
