#include "crypt/SymmetricKey.h"

#include "common/ByteOrder.h"
#include "common/SecureWipe.h"
#include "crypt/BlowfishTables.h"
#include "crypt/RandomPool.h"

#include <cassert>
#include <cstring>

namespace LumenCryptMini {
namespace {

using Sboxes = std::array<std::array<std::uint32_t, 256>, 4>;
using Subkeys = std::array<std::uint32_t, 18>;

inline std::uint32_t feistel(const Sboxes& s, std::uint32_t x)
{
    return ((s[0][x >> 24] + s[1][(x >> 16) & 0xff]) ^ s[2][(x >> 8) & 0xff]) + s[3][x & 0xff];
}

// The 16-round network on several independent blocks at once. One block is
// bound by the latency of its S-box lookups; interleaving blocks lets their
// lookups overlap. With p in reverse order the same network deciphers.
template <std::size_t lanes>
inline void network(const Sboxes& s, const Subkeys& p, std::uint32_t (&l)[lanes],
                    std::uint32_t (&r)[lanes])
{
    for (std::size_t k = 0; k < lanes; ++k) {
        l[k] ^= p[0];
    }
    for (std::size_t i = 1; i < 17; i += 2) {
        for (std::size_t k = 0; k < lanes; ++k) {
            r[k] ^= feistel(s, l[k]) ^ p[i];
        }
        for (std::size_t k = 0; k < lanes; ++k) {
            l[k] ^= feistel(s, r[k]) ^ p[i + 1];
        }
    }
    for (std::size_t k = 0; k < lanes; ++k) {
        const std::uint32_t outLeft = r[k] ^ p[17];
        r[k] = l[k];
        l[k] = outLeft;
    }
}

inline void encipher(const Sboxes& s, const Subkeys& p, std::uint32_t& left, std::uint32_t& right)
{
    std::uint32_t l[1] = {left};
    std::uint32_t r[1] = {right};
    network<1>(s, p, l, r);
    left = l[0];
    right = r[0];
}

bool validKeyLength(std::size_t length)
{
    return length >= static_cast<std::size_t>(SymmetricKey::minKeyLength) &&
           length <= static_cast<std::size_t>(SymmetricKey::maxKeyLength);
}

} // namespace

SymmetricKey::SymmetricKey(std::int32_t keyLength)
{
    keySet = generate(keyLength);
}

bool SymmetricKey::generate(std::int32_t length)
{
    if (length < minKeyLength || length > maxKeyLength) {
        return false;
    }
    RandomPool pool;
    return generate(length, pool);
}

bool SymmetricKey::generate(std::int32_t length, RandomPool& pool)
{
    // A key from the system-state sample alone could be rebuilt by anyone
    // who can bound the sample; no key is better than that one.
    if (length < minKeyLength || length > maxKeyLength || !pool.seedComplete()) {
        return false;
    }
    ByteString bytes(static_cast<std::size_t>(length));
    pool.fill(bytes);
    const bool keyed = setKey(bytes);
    secureWipe(bytes);
    return keyed;
}

SymmetricKey::~SymmetricKey()
{
    for (auto& box : sbox) {
        secureWipe(box);
    }
    secureWipe(subkeys);
    secureWipe(decryptSubkeys);
    secureWipe(feedback);
    secureWipe(key);
}

bool SymmetricKey::setKey(const ByteString& keyBytes)
{
    const std::size_t length = keyBytes.size();
    if (!validKeyLength(length)) {
        keySet = false;
        return false;
    }

    subkeys = initialSubkeys;
    sbox = initialSboxes;

    // Key bytes enter the P-array big-endian and cyclically: the position
    // carries on from word to word and wraps after the last byte.
    std::size_t position = 0;
    for (std::uint32_t& word : subkeys) {
        std::uint32_t bytes = 0;
        for (int j = 0; j < 4; ++j) {
            bytes = bytes << 8 | keyBytes[position];
            position = position + 1 == length ? 0 : position + 1;
        }
        word ^= bytes;
    }

    // One chain of 521 encipherments, each under the tables as they stand,
    // replaces P0..P17 and then S0[0]..S3[255] two words at a time.
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < subkeys.size(); i += 2) {
        encipher(sbox, subkeys, l, r);
        subkeys[i] = l;
        subkeys[i + 1] = r;
    }
    for (std::size_t i = 0; i < subkeys.size(); ++i) {
        decryptSubkeys[i] = subkeys[subkeys.size() - 1 - i];
    }
    for (auto& box : sbox) {
        for (std::size_t i = 0; i < box.size(); i += 2) {
            encipher(sbox, subkeys, l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }

    // The old key goes before its buffer can be reused or freed.
    secureWipe(key);
    key = keyBytes;
    keySet = true;
    return true;
}

void SymmetricKey::blockEncrypt(std::uint32_t& left, std::uint32_t& right) const
{
    encipher(sbox, subkeys, left, right);
}

void SymmetricKey::blockDecrypt(const ByteString& source, std::size_t sourceOffset,
                                ByteString& destination, std::size_t destinationOffset) const
{
    assert(sourceOffset + 8 <= source.size() && destinationOffset + 8 <= destination.size());
    std::uint32_t l = load32be(source.data() + sourceOffset);
    std::uint32_t r = load32be(source.data() + sourceOffset + 4);
    encipher(sbox, decryptSubkeys, l, r);
    store32be(destination.data() + destinationOffset, l);
    store32be(destination.data() + destinationOffset + 4, r);
}

void SymmetricKey::resetFeedback()
{
    feedback.fill(0xff);
}

bool SymmetricKey::decrypt(const ByteString& ciphertext, ByteString& plaintext)
{
    if (ciphertext.size() > static_cast<std::size_t>(INT32_MAX)) {
        return false;
    }
    return decrypt(ciphertext.data(), static_cast<std::int32_t>(ciphertext.size()), plaintext);
}

bool SymmetricKey::decrypt(const std::uint8_t* data, std::int32_t length, ByteString& plaintext)
{
    if (!keySet || length <= 0 || length % 8 != 0) {
        return false;
    }
    const auto n = static_cast<std::size_t>(length);

    resetFeedback();
    // Every byte is overwritten below, so growing without zeroing first is
    // enough.
    plaintext.resize(n);
    std::uint8_t* out = plaintext.data();

    // CBC: plaintext block k = D(ciphertext k) XOR ciphertext k-1. The
    // decipherments are independent, so four run interleaved; each lane's
    // ciphertext is read before any output is written. One block at a time
    // is bound by the latency of its S-box lookups and takes about as long
    // as OpenSSL's BF_cbc_encrypt; four lanes take well under half.
    std::uint32_t previousLeft = load32be(feedback.data());
    std::uint32_t previousRight = load32be(feedback.data() + 4);
    constexpr std::size_t lanes = 4;
    std::size_t offset = 0;
    for (; offset + 8 * lanes <= n; offset += 8 * lanes) {
        std::uint32_t l[lanes];
        std::uint32_t r[lanes];
        std::uint32_t cipherLeft[lanes];
        std::uint32_t cipherRight[lanes];
        for (std::size_t k = 0; k < lanes; ++k) {
            l[k] = cipherLeft[k] = load32be(data + offset + 8 * k);
            r[k] = cipherRight[k] = load32be(data + offset + 8 * k + 4);
        }
        network<lanes>(sbox, decryptSubkeys, l, r);
        for (std::size_t k = 0; k < lanes; ++k) {
            store32be(out + offset + 8 * k, l[k] ^ previousLeft);
            store32be(out + offset + 8 * k + 4, r[k] ^ previousRight);
            previousLeft = cipherLeft[k];
            previousRight = cipherRight[k];
        }
    }
    for (; offset < n; offset += 8) {
        const std::uint32_t cipherLeft = load32be(data + offset);
        const std::uint32_t cipherRight = load32be(data + offset + 4);
        std::uint32_t l = cipherLeft;
        std::uint32_t r = cipherRight;
        encipher(sbox, decryptSubkeys, l, r);
        store32be(out + offset, l ^ previousLeft);
        store32be(out + offset + 4, r ^ previousRight);
        previousLeft = cipherLeft;
        previousRight = cipherRight;
    }
    store32be(feedback.data(), previousLeft);
    store32be(feedback.data() + 4, previousRight);

    // The filler after the message is 0 to 8 bytes, and at most 4 in a
    // single block; its values are not examined.
    // Read as signed, so that a length with its top bit set is refused as
    // negative.
    const auto messageLength = static_cast<std::int32_t>(load32le(out));
    if (messageLength < 0 || messageLength > length - 4 ||
        (length > 12 && messageLength < length - 12)) {
        return false;
    }
    std::memmove(out, out + 4, static_cast<std::size_t>(messageLength));
    // The bytes past the message stay in the buffer's capacity, out of
    // reach of a wipe of what it holds; they are part of the reply.
    secureWipe(out + messageLength, n - static_cast<std::size_t>(messageLength));
    plaintext.resize(static_cast<std::size_t>(messageLength));
    return true;
}

} // namespace LumenCryptMini
