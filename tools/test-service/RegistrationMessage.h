// What a client sends a DBProxy, read as hostile input: the request kinds,
// the registration message, its ElGamal ciphertext, the inner block and the
// record inside it. Nothing here throws on the content of a message; every
// deviation is listed in the result's problems.
#pragma once

#include "test-service/ElGamalKey.h"
#include "test-service/Server.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testservice {

enum class DBProxyRequest { publicKey, registration, unknown };

// The kind a whole frame (length field included) asks for, by its header.
DBProxyRequest dbproxyRequestOf(const Bytes& frame);

// What the server decoded from one registration message. Fields that could
// not be decoded stay empty or zero and the reason is in problems.
struct ReceivedRegistration {
    Bytes frame; // the whole request frame, length field included
    std::uint32_t fixedWord = 0;
    Bytes ciphertext;
    std::uint32_t blockCount = 0;
    Bytes innerBlock; // the decrypted plaintext
    Bytes symmetricKey;
    Bytes record;
    Bytes text; // field 1, its terminating zero byte included
    std::uint8_t setting = 0;
    std::uint8_t firstFlag = 0;
    std::uint8_t secondFlag = 0;
    std::uint8_t thirdFlag = 0;
    std::vector<std::string> problems;

    bool ok() const { return problems.empty(); }
};

// The whole registration frame: message, decryption under key, inner block.
ReceivedRegistration decodeRegistration(const Bytes& frame, const ElGamalKey& key);

// The inner block in out.innerBlock: symmetric key, record and its fields.
void decodeInnerBlock(ReceivedRegistration& out);

// The log line of a registration; without verbose the symmetric key, the
// text and the record (which holds the text) are left out.
std::string describeRegistration(const ReceivedRegistration& registration, bool verbose);

} // namespace testservice
