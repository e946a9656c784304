// A DBProxy server: hands out its ElGamal public key, decrypts and checks the
// registration message, and answers under the client's Blowfish key.
#pragma once

#include "test-service/ElGamalKey.h"
#include "test-service/Server.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testservice {

struct DBProxyBehaviour {
    enum class Mode {
        answer,                   // the whole exchange
        refuse,                   // never listen (fixed at construction)
        closeAtOnce,              // accept, then close without reading
        closeAfterKeyRequest,     // read the key request, close without replying
        stallAtKeyReply,          // read the key request, never reply
        stallAtRegistrationReply, // key reply sent, registration read, never reply
    };
    Mode mode = Mode::answer;

    // Public-key reply. keyBlob replaces the DER blob (its length goes in the
    // u16 length field); zeroModulus sends the server's blob with p = 0;
    // keyReplyBody replaces the whole body.
    std::optional<Bytes> keyBlob;
    bool zeroModulus = false;
    std::optional<Bytes> keyReplyBody;
    ReplyShaping keyReplyShaping;

    // Registration reply: u16 DBProxy status; unless its bit 15 is set, u16
    // ciphertext length and the ciphertext of [u32 LE c][c bytes][filler]
    // where the c bytes are u16 database status, u16 result length, result.
    std::uint16_t dbproxyStatus = 0;
    std::uint16_t databaseStatus = 0;
    Bytes result = {'O', 'K'}; // zero bytes allowed
    // Replaces the c bytes (database status, result) built above.
    std::optional<Bytes> replyPlaintext;
    // Sent instead of the true c in the length prefix.
    std::optional<std::uint32_t> lengthPrefix;
    enum class Cipher {
        normal,
        wrongKey,       // encrypted under a key that differs from the client's
        notMultipleOf8, // the last ciphertext byte dropped
        empty,          // ciphertext length 0
    };
    Cipher cipher = Cipher::normal;
    // Replaces the whole registration reply body.
    std::optional<Bytes> registrationReplyBody;
    ReplyShaping registrationReplyShaping;
};

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

// Blowfish-CBC with an IV of eight 0xFF bytes over [u32 LE length][message]
// [filler to a multiple of 8]; the filler bytes are random.
Bytes encryptReply(const Bytes& key, const Bytes& message,
                   std::optional<std::uint32_t> lengthPrefix = std::nullopt);

class DBProxyServer : public Server {
  public:
    // Uses the 1024-bit group with a fresh private x.
    explicit DBProxyServer(const Endpoint& endpoint, DBProxyBehaviour behaviour = {},
                           LogSink log = {});
    DBProxyServer(const Endpoint& endpoint, ElGamalKey key, DBProxyBehaviour behaviour = {},
                  LogSink log = {});
    ~DBProxyServer() override;

    const ElGamalKey& key() const { return privateKey; }
    // Takes effect for the next request; refusing cannot be switched on or
    // off after construction (std::logic_error).
    void setBehaviour(DBProxyBehaviour behaviour);

    std::size_t keyRequestCount() const;
    std::vector<ReceivedRegistration> registrations() const;

  protected:
    void serve(Connection& connection) override;

  private:
    DBProxyBehaviour currentBehaviour() const;
    ReceivedRegistration decode(const Bytes& frame) const;

    const ElGamalKey privateKey;
    mutable std::mutex stateMutex;
    DBProxyBehaviour behaviour;
    std::size_t keyRequests = 0;
    std::vector<ReceivedRegistration> decoded;
};

} // namespace testservice
