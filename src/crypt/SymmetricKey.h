#pragma once

#include "common/ByteString.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace LumenCryptMini {

class RandomPool;

// A Blowfish key (16 rounds, the published key schedule and initial tables)
// that decrypts length-prefixed replies in CBC mode. Keys are 5 to 56 bytes;
// 4-byte keys are refused although Blowfish itself would take them.
//
// Reply framing, as the encrypting peer builds it: a 32-bit little-endian
// message length c, the c message bytes, then 0 to 8 filler bytes (0 to 4
// when the total is 8) to reach a multiple of 8; CBC with an initial vector
// of eight 0xFF bytes and big-endian block words; no vector is sent.
class SymmetricKey {
  public:
    static constexpr std::int32_t minKeyLength = 5;
    static constexpr std::int32_t maxKeyLength = 56;

    // Keyed with keyLength random bytes when the length is valid; otherwise
    // hasKey() is false and keyBytes() empty.
    explicit SymmetricKey(std::int32_t keyLength);

    // Wipes the key, its schedule and the chaining register.
    ~SymmetricKey();
    SymmetricKey(const SymmetricKey&) = delete;
    SymmetricKey& operator=(const SymmetricKey&) = delete;

    // A new key from a fresh RandomPool. A length outside 5..56, or a pool
    // whose system generator failed, returns false and changes nothing.
    bool generate(std::int32_t length);
    // The same with the key bytes drawn from pool, which is left advanced.
    bool generate(std::int32_t length, RandomPool& pool);

    // Runs the key schedule. A refused length leaves the tables and
    // keyBytes() as they were but clears hasKey().
    bool setKey(const ByteString& keyBytes);

    const ByteString& keyBytes() const { return key; }
    bool hasKey() const { return keySet; }

    // On success plaintext holds the message without its length prefix.
    // Without a key, or for a length that is 0, negative or not a multiple of
    // 8, plaintext is untouched. If the prefix is out of range plaintext
    // holds every deciphered byte, prefix included, and must not be used.
    // Every call starts from the initial vector, so calls are independent.
    bool decrypt(const ByteString& ciphertext, ByteString& plaintext);
    bool decrypt(const std::uint8_t* data, std::int32_t length, ByteString& plaintext);

    // The raw cipher, one block at a time, with the current key; exposed so
    // that it can be checked against published vectors. blockEncrypt takes
    // the block as two words (the big-endian halves of the 8 bytes);
    // blockDecrypt reads 8 bytes at sourceOffset and writes 8 at
    // destinationOffset, both of which must lie within their strings.
    void blockEncrypt(std::uint32_t& left, std::uint32_t& right) const;
    void blockDecrypt(const ByteString& source, std::size_t sourceOffset, ByteString& destination,
                      std::size_t destinationOffset) const;

  private:
    void resetFeedback();

    using Sboxes = std::array<std::array<std::uint32_t, 256>, 4>;
    using Subkeys = std::array<std::uint32_t, 18>;

    Sboxes sbox{};
    Subkeys subkeys{};
    // The CBC chaining register: the initial vector at the start of each
    // decryption, the last ciphertext block at its end.
    std::array<std::uint8_t, 8> feedback{};
    ByteString key;
    // The final P-array in reverse order (P17 first), so that deciphering
    // runs the enciphering network unchanged.
    Subkeys decryptSubkeys{};
    bool keySet = false;
};

} // namespace LumenCryptMini
