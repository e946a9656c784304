// The public-key reply as the exchange reads it (key length, then that many
// bytes through WireBuffer), the key blob loaded into an ElGamalPublicKey,
// and one encryption with the loaded key. Whether the blob loads is compared
// with a reading of the key format made here, and every ciphertext number
// must lie below the modulus that reading found.
//
// The bytes after the blob, which the exchange ignores, are the plaintext.
// Only moduli of up to 576 bits (past the size at which multiplication
// changes method) are used to encrypt, so that a run stays fast;
// the reading of larger blobs is fuzzed all the same.

#include "FuzzSupport.h"
#include "common/ArithmeticException.h"
#include "common/DataException.h"
#include "crypt/ElGamalPublicKey.h"
#include "wire/WireBuffer.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

using LumenCryptMini::ArithmeticException;
using LumenCryptMini::ElGamalPublicKey;

constexpr std::size_t maxEncryptedModulusBytes = 72;
constexpr std::size_t maxPlaintext = 96;

// The blob's four INTEGERs as big-endian magnitudes without leading zeros,
// or nothing when the blob does not hold them.
class BlobReading {
  public:
    explicit BlobReading(const ByteString& source) : blob(source) {}

    std::optional<std::vector<ByteString>> integers()
    {
        skipHeader();
        std::vector<ByteString> out;
        for (int i = 0; i < 4; ++i) {
            ByteString magnitude;
            if (!integer(magnitude)) {
                return std::nullopt;
            }
            out.push_back(magnitude);
        }
        return out;
    }

  private:
    std::size_t left() const { return blob.size() - at; }

    void skipHeader()
    {
        if (left() == 0 || blob[at++] != 0x30 || left() == 0) {
            return;
        }
        const unsigned first = blob[at++];
        if (first == 0x80) {
            at += std::min<std::size_t>(1, left());
        } else if (first > 0x80 && left() >= (first & 0x7Fu)) {
            std::size_t count = first & 0x7Fu;
            for (; count > 1 && blob[at] == 0; --count) {
                ++at;
            }
            at += count <= 2 ? count : 1;
        }
    }

    bool integer(ByteString& magnitude)
    {
        if (left() < 2 || blob[at] != 0x02) {
            return false;
        }
        std::size_t length = blob[at + 1];
        at += 2;
        if (length >= 0x80) {
            const std::size_t count = length == 0x82 ? 2 : length <= 0x81 ? 1 : 0;
            if (count == 0 || left() < count) {
                return false;
            }
            length = count == 1 ? blob[at] : blob[at] * 256u + blob[at + 1];
            at += count;
        }
        if (left() == 0 || left() < length) {
            return false;
        }
        auto begin = blob.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end = begin + static_cast<std::ptrdiff_t>(length);
        begin = std::find_if(begin, end, [](std::uint8_t byte) { return byte != 0; });
        magnitude.assign(begin, end);
        at += length;
        return true;
    }

    const ByteString& blob;
    std::size_t at = 0;
};

int bitCount(const ByteString& magnitude)
{
    if (magnitude.empty()) {
        return 0;
    }
    int bits = 8 * static_cast<int>(magnitude.size() - 1);
    for (unsigned top = magnitude[0]; top != 0; top >>= 1) {
        ++bits;
    }
    return bits;
}

const ByteString poolSeed = {'f', 'u', 'z', 'z'};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    WireBuffer reply(data, size);
    ByteString blob;
    try {
        const std::uint16_t blobLength = reply.readUInt16();
        const std::uint8_t* bytes = reply.readBytes(blobLength);
        blob.assign(bytes, bytes + blobLength);
    } catch (const DataException&) {
        return 0; // "Invalid message format.  Unpack failed."
    }

    const auto integers = BlobReading(blob).integers();
    const int bits = integers ? bitCount((*integers)[0]) : -1;
    ElGamalPublicKey key(poolSeed);
    bool loaded = false;
    try {
        loaded = key.load(blob.data(), static_cast<std::int32_t>(blob.size()));
    } catch (const ArithmeticException&) {
        // Only a zero modulus may get this far and fail.
        FUZZ_CHECK(bits == 0);
        FUZZ_CHECK(!key.isValid());
        return 0;
    }
    FUZZ_CHECK(bits != 0);
    FUZZ_CHECK(loaded == key.isValid());
    FUZZ_CHECK(loaded == (bits >= 32 && bits % 8 == 0 && bits / 8 <= 258));

    const auto width = static_cast<std::size_t>(bits / 8);
    ByteString ciphertext = {0xAA};
    if (!loaded || width > maxEncryptedModulusBytes) {
        if (!loaded) {
            FUZZ_CHECK(!key.encrypt(blob.data(), 1, ciphertext));
            FUZZ_CHECK(ciphertext == ByteString{0xAA});
        }
        return 0;
    }

    const std::size_t plainLength = std::min(reply.remaining(), maxPlaintext);
    const std::uint8_t* plain = reply.readBytes(plainLength);
    FUZZ_CHECK(key.encrypt(plain, static_cast<std::int32_t>(plainLength), ciphertext));

    const std::size_t perBlock = width - 3;
    const std::size_t blocks = (plainLength + perBlock - 1) / perBlock;
    FUZZ_CHECK(ciphertext.size() == 4 + 2 * width * blocks);
    FUZZ_CHECK((ciphertext[0] | ciphertext[1] << 8 | ciphertext[2] << 16 |
                static_cast<std::uint32_t>(ciphertext[3]) << 24) == blocks);
    const ByteString& modulus = (*integers)[0];
    for (std::size_t i = 0; i < 2 * blocks; ++i) {
        const auto number = ciphertext.begin() + static_cast<std::ptrdiff_t>(4 + width * i);
        FUZZ_CHECK(std::lexicographical_compare(number, number + static_cast<std::ptrdiff_t>(width),
                                                modulus.begin(), modulus.end()));
    }
    return 0;
}
