// A DBProxy server: hands out its ElGamal public key, decrypts and checks the
// registration message, and answers under the client's Blowfish key.
#pragma once

#include "test-service/ElGamalKey.h"
#include "test-service/RegistrationMessage.h"
#include "test-service/RegistrationRate.h"
#include "test-service/RegistrationStore.h"
#include "test-service/ReplayCache.h"
#include "test-service/Server.h"
#include "test-service/ServiceMetrics.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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
    // With a store: the database status of a text already stored with
    // status 0 (0 accepts it again), and {id} and {text} in result are
    // replaced by the row's number and the user's text.
    std::uint16_t duplicateStatus = 1;
    // With a store: the database status of a registration whose result
    // cannot fit the reply's 16-bit length; it is stored and answered as
    // refused, with an empty result.
    std::uint16_t oversizeStatus = 2;
    // With a store: a registration whose text, setting and flags repeat one
    // accepted this long ago or less is a retry (its reply was lost): it gets
    // that registration's status 0 and result, and is stored as a retry. 0
    // turns it off.
    std::chrono::milliseconds retryWindow{600000};
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

// Blowfish-CBC with an IV of eight 0xFF bytes over [u32 LE length][message]
// [filler to a multiple of 8]; the filler bytes are random.
Bytes encryptReply(const Bytes& key, const Bytes& message,
                   std::optional<std::uint32_t> lengthPrefix = std::nullopt);

// Whether a registration reply carrying a result of this many bytes fits its
// 16-bit ciphertext length: the sealed [length][status][result length]
// [result] is rounded up to whole 8-byte blocks, so at most 65,520 bytes do.
bool resultFitsReply(std::size_t resultBytes);

// What a DBProxy keeps beside its behaviour; each part may be missing.
struct DBProxyServices {
    // Every registration answered with a database status is stored here,
    // exactly once, or not at all when its reply could not be built.
    std::shared_ptr<RegistrationStore> store;
    // Registration messages from an address beyond its rate are not
    // decrypted: the connection is closed unanswered. Shared by the DBProxies
    // of a process, as a client may try each.
    std::shared_ptr<RegistrationRate> rate;
    // The DBProxy's own, since its key decides what a frame says: a frame
    // answered lately gets that reply again.
    std::shared_ptr<ReplayCache> replays;
    std::shared_ptr<ServiceMetrics> metrics;
};

class DBProxyServer : public Server {
  public:
    // Uses the 1024-bit group with a fresh private x.
    explicit DBProxyServer(const Endpoint& endpoint, DBProxyBehaviour behaviour = {},
                           LogSink log = {});
    DBProxyServer(const Endpoint& endpoint, ElGamalKey key, DBProxyBehaviour behaviour = {},
                  LogSink log = {}, ServerOptions options = {}, DBProxyServices services = {});
    ~DBProxyServer() override;

    const ElGamalKey& key() const { return privateKey; }
    // Takes effect for the next request; refusing cannot be switched on or
    // off after construction (std::logic_error).
    void setBehaviour(DBProxyBehaviour behaviour);

    std::size_t keyRequestCount() const;
    // Every registration decoded, in arrival order; empty unless keepRecords.
    std::vector<ReceivedRegistration> registrations() const;

  protected:
    void serve(Connection& connection) override;

  private:
    DBProxyBehaviour currentBehaviour() const;
    // Each returns false when the connection is to be closed.
    bool answerKeyRequest(Connection& connection, const Bytes& frame, const DBProxyBehaviour& now);
    bool answerRegistration(Connection& connection, const Bytes& frame,
                            const DBProxyBehaviour& now);
    // The reply body, or nullopt when the connection is to be closed without
    // one; fills in what the log and the counts say of it.
    std::optional<Bytes> registrationReply(Connection& connection, const Bytes& frame,
                                           const DBProxyBehaviour& now, ReplayCache::Reply& said,
                                           std::int64_t& storedAs);
    void logReply(const Connection& connection, const DBProxyBehaviour& now,
                  const ReplayCache::Reply& reply, std::int64_t storedAs) const;
    void count(ServiceMetrics::Outcome outcome) const;

    const ElGamalKey privateKey;
    const DBProxyServices services;
    mutable std::mutex stateMutex;
    DBProxyBehaviour behaviour;
    std::size_t keyRequests = 0;
    std::vector<ReceivedRegistration> decoded;
};

} // namespace testservice
