#include "test-service/RegistrationMessage.h"

#include "test-service/Wire.h"

namespace testservice {

namespace {

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

} // namespace

DBProxyRequest dbproxyRequestOf(const Bytes& frame)
{
    if (hasHeader(frame, 5, 0, 1)) {
        return DBProxyRequest::publicKey;
    }
    if (hasHeader(frame, 5, 0, 2)) {
        return DBProxyRequest::registration;
    }
    return DBProxyRequest::unknown;
}

ReceivedRegistration decodeRegistration(const Bytes& frame, const ElGamalKey& key)
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

    ElGamalDecryption decryption = key.decrypt(out.ciphertext);
    out.blockCount = decryption.blockCount;
    out.innerBlock = std::move(decryption.plaintext);
    out.problems.insert(out.problems.end(), decryption.problems.begin(), decryption.problems.end());
    decodeInnerBlock(out);
    return out;
}

void decodeInnerBlock(ReceivedRegistration& out)
{
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
}

std::string describeRegistration(const ReceivedRegistration& registration, bool verbose)
{
    std::string text = "registration: " + std::to_string(registration.ciphertext.size()) +
                       " ciphertext bytes in " + std::to_string(registration.blockCount) +
                       " blocks; ";
    if (verbose) {
        text += "symmetric key " + hexText(registration.symmetricKey) + "; text \"" +
                quotedText(registration.text) + "\" (" + std::to_string(registration.text.size()) +
                " bytes); ";
    } else {
        text += "text of " + std::to_string(registration.text.size()) + " bytes; ";
    }
    text += "setting " + std::to_string(registration.setting) + "; flags " +
            std::to_string(registration.firstFlag) + " " + std::to_string(registration.secondFlag) +
            " " + std::to_string(registration.thirdFlag);
    if (verbose) {
        text += "; record " + hexText(registration.record);
    }
    return text;
}

} // namespace testservice
