#include "UnreducedKey.h"

#include <cstdint>
#include <memory>
#include <openssl/bn.h>
#include <random>
#include <stdexcept>

namespace testservice {

namespace {

constexpr std::size_t largestBlob = 65535;

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Bn toBn(const Bytes& bytes)
{
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_free);
}

// value + i * p, i drawn from random with multiplierBytes bytes. OpenSSL's
// arithmetic, so that the blob does not rest on the numbers under test.
Bytes plusMultiple(const Bytes& value, const Bytes& p, std::size_t multiplierBytes,
                   std::mt19937& random)
{
    Bytes multiplier(multiplierBytes);
    for (auto& byte : multiplier) {
        byte = static_cast<std::uint8_t>(random());
    }
    multiplier[0] |= 0x80;
    const Bn sum(BN_new(), BN_free);
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    if (!sum || !ctx || !BN_mul(sum.get(), toBn(multiplier).get(), toBn(p).get(), ctx.get()) ||
        !BN_add(sum.get(), sum.get(), toBn(value).get())) {
        throw std::runtime_error("BIGNUM arithmetic failed");
    }
    Bytes out(static_cast<std::size_t>(BN_num_bytes(sum.get())));
    BN_bn2bin(sum.get(), out.data());
    return out;
}

} // namespace

Bytes unreducedKeyBlob(const ElGamalKey& key)
{
    const std::size_t fixed = derIntegerSequence({key.p(), key.q(), {}, {}}).size();
    // Each number's share of the room left, less its tag, length and sign
    // bytes; shrunk by a byte until the blob fits.
    for (std::size_t width = (largestBlob - fixed) / 2; width > key.p().size(); --width) {
        std::mt19937 random(static_cast<unsigned>(width));
        const std::size_t multiplierBytes = width - key.p().size() - 1;
        const Bytes blob = derIntegerSequence(
            {key.p(), key.q(), plusMultiple(key.g(), key.p(), multiplierBytes, random),
             plusMultiple(key.y(), key.p(), multiplierBytes, random)});
        if (blob.size() <= largestBlob) {
            return blob;
        }
    }
    throw std::logic_error("no unreduced key blob fits a key reply");
}

} // namespace testservice
