#include "crypt/MD5.h"

#include "common/ByteOrder.h"
#include "common/SecureWipe.h"

#include <bit>
#include <cstring>

namespace LumenCryptMini {
namespace {

// One step of each round of RFC 1321 section 3.4. The message word and the
// constant are added before the round function so that only the function
// waits on b, the newest word. G uses + for | because its two terms share
// no bits.
template <int shift>
inline void stepF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t xk)
{
    a = std::rotl(a + xk + (((c ^ d) & b) ^ d), shift) + b;
}

template <int shift>
inline void stepG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t xk)
{
    a = std::rotl(a + xk + (c & ~d) + (b & d), shift) + b;
}

template <int shift>
inline void stepH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t xk)
{
    a = std::rotl(a + xk + (b ^ c ^ d), shift) + b;
}

template <int shift>
inline void stepI(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t xk)
{
    a = std::rotl(a + xk + (c ^ (b | ~d)), shift) + b;
}

// Compresses blockCount consecutive 64-byte blocks; the chaining value stays
// in registers between blocks.
void compress(std::array<std::uint32_t, 4>& state, const std::uint8_t* data, std::size_t blockCount)
{
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];

    // The block words are the message itself (a pool's seed); they are
    // wiped once the last block is done.
    std::uint32_t x[16];
    for (; blockCount != 0; --blockCount, data += 64) {
        for (int i = 0; i < 16; ++i) {
            x[i] = load32le(data + 4 * i);
        }
        const std::uint32_t a0 = a;
        const std::uint32_t b0 = b;
        const std::uint32_t c0 = c;
        const std::uint32_t d0 = d;

        stepF<7>(a, b, c, d, x[0] + 0xd76aa478);
        stepF<12>(d, a, b, c, x[1] + 0xe8c7b756);
        stepF<17>(c, d, a, b, x[2] + 0x242070db);
        stepF<22>(b, c, d, a, x[3] + 0xc1bdceee);
        stepF<7>(a, b, c, d, x[4] + 0xf57c0faf);
        stepF<12>(d, a, b, c, x[5] + 0x4787c62a);
        stepF<17>(c, d, a, b, x[6] + 0xa8304613);
        stepF<22>(b, c, d, a, x[7] + 0xfd469501);
        stepF<7>(a, b, c, d, x[8] + 0x698098d8);
        stepF<12>(d, a, b, c, x[9] + 0x8b44f7af);
        stepF<17>(c, d, a, b, x[10] + 0xffff5bb1);
        stepF<22>(b, c, d, a, x[11] + 0x895cd7be);
        stepF<7>(a, b, c, d, x[12] + 0x6b901122);
        stepF<12>(d, a, b, c, x[13] + 0xfd987193);
        stepF<17>(c, d, a, b, x[14] + 0xa679438e);
        stepF<22>(b, c, d, a, x[15] + 0x49b40821);

        stepG<5>(a, b, c, d, x[1] + 0xf61e2562);
        stepG<9>(d, a, b, c, x[6] + 0xc040b340);
        stepG<14>(c, d, a, b, x[11] + 0x265e5a51);
        stepG<20>(b, c, d, a, x[0] + 0xe9b6c7aa);
        stepG<5>(a, b, c, d, x[5] + 0xd62f105d);
        stepG<9>(d, a, b, c, x[10] + 0x02441453);
        stepG<14>(c, d, a, b, x[15] + 0xd8a1e681);
        stepG<20>(b, c, d, a, x[4] + 0xe7d3fbc8);
        stepG<5>(a, b, c, d, x[9] + 0x21e1cde6);
        stepG<9>(d, a, b, c, x[14] + 0xc33707d6);
        stepG<14>(c, d, a, b, x[3] + 0xf4d50d87);
        stepG<20>(b, c, d, a, x[8] + 0x455a14ed);
        stepG<5>(a, b, c, d, x[13] + 0xa9e3e905);
        stepG<9>(d, a, b, c, x[2] + 0xfcefa3f8);
        stepG<14>(c, d, a, b, x[7] + 0x676f02d9);
        stepG<20>(b, c, d, a, x[12] + 0x8d2a4c8a);

        stepH<4>(a, b, c, d, x[5] + 0xfffa3942);
        stepH<11>(d, a, b, c, x[8] + 0x8771f681);
        stepH<16>(c, d, a, b, x[11] + 0x6d9d6122);
        stepH<23>(b, c, d, a, x[14] + 0xfde5380c);
        stepH<4>(a, b, c, d, x[1] + 0xa4beea44);
        stepH<11>(d, a, b, c, x[4] + 0x4bdecfa9);
        stepH<16>(c, d, a, b, x[7] + 0xf6bb4b60);
        stepH<23>(b, c, d, a, x[10] + 0xbebfbc70);
        stepH<4>(a, b, c, d, x[13] + 0x289b7ec6);
        stepH<11>(d, a, b, c, x[0] + 0xeaa127fa);
        stepH<16>(c, d, a, b, x[3] + 0xd4ef3085);
        stepH<23>(b, c, d, a, x[6] + 0x04881d05);
        stepH<4>(a, b, c, d, x[9] + 0xd9d4d039);
        stepH<11>(d, a, b, c, x[12] + 0xe6db99e5);
        stepH<16>(c, d, a, b, x[15] + 0x1fa27cf8);
        stepH<23>(b, c, d, a, x[2] + 0xc4ac5665);

        stepI<6>(a, b, c, d, x[0] + 0xf4292244);
        stepI<10>(d, a, b, c, x[7] + 0x432aff97);
        stepI<15>(c, d, a, b, x[14] + 0xab9423a7);
        stepI<21>(b, c, d, a, x[5] + 0xfc93a039);
        stepI<6>(a, b, c, d, x[12] + 0x655b59c3);
        stepI<10>(d, a, b, c, x[3] + 0x8f0ccc92);
        stepI<15>(c, d, a, b, x[10] + 0xffeff47d);
        stepI<21>(b, c, d, a, x[1] + 0x85845dd1);
        stepI<6>(a, b, c, d, x[8] + 0x6fa87e4f);
        stepI<10>(d, a, b, c, x[15] + 0xfe2ce6e0);
        stepI<15>(c, d, a, b, x[6] + 0xa3014314);
        stepI<21>(b, c, d, a, x[13] + 0x4e0811a1);
        stepI<6>(a, b, c, d, x[4] + 0xf7537e82);
        stepI<10>(d, a, b, c, x[11] + 0xbd3af235);
        stepI<15>(c, d, a, b, x[2] + 0x2ad7d2bb);
        stepI<21>(b, c, d, a, x[9] + 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    secureWipe(x, sizeof x);

    state = {a, b, c, d};
}

} // namespace

MD5::~MD5()
{
    secureWipe(pending);
    secureWipe(state);
}

void MD5::reset()
{
    // What was pending is the end of the last message, padding included.
    secureWipe(pending);
    state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    bitCount = 0;
}

void MD5::update(const std::uint8_t* data, std::size_t length)
{
    if (length == 0) {
        return;
    }
    std::size_t used = static_cast<std::size_t>(bitCount >> 3) & 63;
    bitCount += static_cast<std::uint64_t>(length) << 3;

    if (used != 0) {
        const std::size_t room = 64 - used;
        if (length < room) {
            std::memcpy(pending.data() + used, data, length);
            return;
        }
        std::memcpy(pending.data() + used, data, room);
        compress(state, pending.data(), 1);
        data += room;
        length -= room;
    }
    const std::size_t whole = length / 64;
    if (whole != 0) {
        compress(state, data, whole);
        data += whole * 64;
        length -= whole * 64;
    }
    if (length != 0) {
        std::memcpy(pending.data(), data, length);
    }
}

ByteString MD5::finish()
{
    ByteString out(digestLength);
    finish(out.data());
    return out;
}

void MD5::finish(std::uint8_t* out)
{
    std::size_t used = static_cast<std::size_t>(bitCount >> 3) & 63;
    pending[used++] = 0x80;
    if (used > 56) {
        std::memset(pending.data() + used, 0, 64 - used);
        compress(state, pending.data(), 1);
        used = 0;
    }
    std::memset(pending.data() + used, 0, 56 - used);
    store64le(pending.data() + 56, bitCount);
    compress(state, pending.data(), 1);

    for (int i = 0; i < 4; ++i) {
        store32le(out + 4 * i, state[static_cast<std::size_t>(i)]);
    }
    reset();
}

} // namespace LumenCryptMini
