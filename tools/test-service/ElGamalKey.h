// The DBProxy's ElGamal private key over the integers modulo a safe prime
// p = 2q + 1, held as big-endian magnitudes; arithmetic is OpenSSL's BIGNUM.
#pragma once

#include "test-service/Server.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testservice {

// Minimal DER: a SEQUENCE of INTEGERs, each given as a big-endian magnitude
// (leading zeros dropped, one 0x00 added when the top bit is set; zero is
// 02 01 00).
Bytes derIntegerSequence(const std::vector<Bytes>& magnitudes);

struct ElGamalDecryption {
    Bytes plaintext;                   // the blocks' bytes concatenated
    std::uint32_t blockCount = 0;      // as the ciphertext declares it
    std::vector<std::string> problems; // empty when every check passed
};

class ElGamalKey {
  public:
    // A published safe-prime group with g = 2: RFC 2409 group 2 (1024 bits),
    // RFC 3526 groups 5 (1536) and 14 (2048). The private x is fresh.
    // Other sizes throw std::invalid_argument.
    static ElGamalKey fromGroup(int bits);
    // A fresh safe prime of that many bits (slow: seconds for 1024 bits).
    static ElGamalKey generate(int bits);
    // Text lines "p=<hex>", "q=<hex>", "g=<hex>", "x=<hex>"; '#' starts a
    // comment. Throws std::runtime_error on a missing or unreadable file.
    static ElGamalKey fromFile(const std::string& path);
    // Readable by its owner only (mode 0600), since it holds x.
    void saveFile(const std::string& path) const;
    // The key in the file; when there is none, create() makes one and it is
    // written there (mode 0600), so that clients see one key across
    // restarts. created says which happened.
    static ElGamalKey fromFileOrCreate(const std::string& path,
                                       const std::function<ElGamalKey()>& create, bool& created);
    // y is computed as g^x mod p.
    static ElGamalKey fromParameters(Bytes p, Bytes q, Bytes g, Bytes x);

    const Bytes& p() const { return modulus; }
    const Bytes& q() const { return order; }
    const Bytes& g() const { return generator; }
    const Bytes& x() const { return secret; }
    const Bytes& y() const { return publicValue; }
    int bits() const;
    // L: the width of each ciphertext number, floor(bits / 8).
    std::size_t modulusBytes() const { return static_cast<std::size_t>(bits() / 8); }

    // SEQUENCE { p, q, g, y } in minimal DER.
    Bytes derBlob() const;

    // Ciphertext: u32 LE block count N, then per block a and b as L-byte
    // big-endian numbers. Each M = b * a^(p-1-x) mod p is read as L-1
    // big-endian bytes: zeros, the c plaintext bytes, the count byte c.
    // Every deviation (length, zero padding, count range, a or b out of
    // range) is listed in problems; whatever could be decoded is returned.
    ElGamalDecryption decrypt(const Bytes& ciphertext) const;

  private:
    ElGamalKey() = default;
    std::string fileText() const;

    Bytes modulus, order, generator, secret, publicValue;
};

} // namespace testservice
