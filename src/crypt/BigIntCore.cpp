#include "crypt/BigIntCore.h"

#include "common/SecureWipe.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <new>

namespace LumenCryptMini {

using Limbs::Limb;

namespace {

constexpr int maxLimbs = 65535;
constexpr int heapSpare = 16;
constexpr int inlineCount = 4;

bool isNegative(const BigIntCore& a)
{
    return a.negative && a.used > 0;
}

// Equal signs add magnitudes; different signs take the smaller magnitude from
// the larger, which lends the result its sign.
void addSigned(BigIntCore& r, const BigIntCore& a, const BigIntCore& b, bool bNegative)
{
    const bool aNegative = a.negative;
    if (aNegative == bNegative) {
        Limbs::addMagnitudes(r, a, b);
        r.negative = aNegative;
        return;
    }
    const int order = cmpMagnitude(a, b);
    if (order == 0) {
        setZero(r);
    } else if (order > 0) {
        Limbs::subMagnitudes(r, a, b);
        r.negative = aNegative;
    } else {
        Limbs::subMagnitudes(r, b, a);
        r.negative = bNegative;
    }
}

} // namespace

namespace {

// Every limb a number ever held may have been part of a secret (an exponent,
// a power of y, a message block), and nothing tells which: a block is wiped
// whole before it goes back to the heap. It costs a pass over the limbs
// where the arithmetic that filled them costs many.
void releaseBlock(Limb* block, std::uint16_t capacity) noexcept
{
    secureWipe(block, sizeof(Limb) * capacity);
    delete[] block;
}

} // namespace

BigIntCore::BigIntCore() noexcept
    : inlineLimbs{0, 0, 0, 0}, limbs(inlineLimbs), capacity(inlineCount), used(0), negative(false)
{
}

BigIntCore::BigIntCore(const BigIntCore& other) : BigIntCore()
{
    copy(*this, other);
}

BigIntCore& BigIntCore::operator=(const BigIntCore& other)
{
    copy(*this, other);
    return *this;
}

BigIntCore::~BigIntCore()
{
    if (limbs != inlineLimbs) {
        releaseBlock(limbs, capacity);
    }
    secureWipe(inlineLimbs, sizeof inlineLimbs);
}

void BigIntCore::reserve(int n, bool keep)
{
    if (n <= capacity) {
        return;
    }
    if (n > maxLimbs) {
        throw std::bad_alloc();
    }
    const int size = std::min(n + heapSpare, maxLimbs);
    Limb* block = new Limb[static_cast<std::size_t>(size)]();
    if (keep) {
        Limbs::copyLimbs(block, limbs, used);
    } else {
        used = 0;
    }
    if (limbs != inlineLimbs) {
        releaseBlock(limbs, capacity);
    } else {
        secureWipe(inlineLimbs, sizeof inlineLimbs);
    }
    limbs = block;
    capacity = static_cast<std::uint16_t>(size);
}

void setZero(BigIntCore& r)
{
    r.used = 0;
    r.negative = false;
}

void setOne(BigIntCore& r)
{
    r.limbs[0] = 1;
    r.used = 1;
    r.negative = false;
}

void copy(BigIntCore& r, const BigIntCore& a)
{
    if (&r == &a) {
        return;
    }
    Limb* storage = r.inlineLimbs;
    if (a.capacity > inlineCount) {
        storage = new Limb[a.capacity]();
    } else {
        Limbs::clear(r.inlineLimbs, inlineCount);
    }
    Limbs::copyLimbs(storage, a.limbs, a.used);
    if (r.limbs != r.inlineLimbs) {
        releaseBlock(r.limbs, r.capacity);
    }
    r.limbs = storage;
    r.capacity = a.capacity > inlineCount ? a.capacity : static_cast<std::uint16_t>(inlineCount);
    r.used = a.used;
    r.negative = a.negative;
}

int bitCount(const BigIntCore& a)
{
    if (a.used == 0) {
        return 0;
    }
    return Limbs::limbBits * (a.used - 1) + static_cast<int>(std::bit_width(a.limbs[a.used - 1]));
}

bool testBit(const BigIntCore& a, int n)
{
    if (n < 0 || n / Limbs::limbBits >= a.used) {
        return false;
    }
    return ((a.limbs[n / Limbs::limbBits] >> (n % Limbs::limbBits)) & 1) != 0;
}

void setBit(BigIntCore& a, int n)
{
    if (n < 0 || n / Limbs::limbBits >= a.used) {
        return;
    }
    a.limbs[n / Limbs::limbBits] |= Limb{1} << (n % Limbs::limbBits);
}

int cmpMagnitude(const BigIntCore& a, const BigIntCore& b)
{
    if (a.used != b.used) {
        return a.used < b.used ? -1 : 1;
    }
    return Limbs::compare(a.limbs, b.limbs, a.used);
}

int cmp(const BigIntCore& a, const BigIntCore& b)
{
    const bool aNegative = isNegative(a);
    const bool bNegative = isNegative(b);
    if (aNegative && bNegative) {
        return cmpMagnitude(b, a);
    }
    if (aNegative) {
        return -1;
    }
    if (bNegative) {
        return 1;
    }
    return cmpMagnitude(a, b);
}

void add(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    if (a.used == 0) {
        copy(r, b);
    } else if (b.used == 0) {
        copy(r, a);
    } else {
        addSigned(r, a, b, b.negative);
    }
}

void sub(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    if (a.used == 0) {
        const bool flipped = !b.negative;
        copy(r, b);
        if (r.used > 0) {
            r.negative = flipped;
        }
    } else if (b.used == 0) {
        copy(r, a);
    } else {
        addSigned(r, a, b, !b.negative);
    }
}

void shiftLeft(BigIntCore& r, const BigIntCore& a, int n)
{
    n = std::max(n, 0);
    const int used = a.used;
    if (used == 0) {
        r.used = 0;
        return;
    }
    const int words = n / Limbs::limbBits;
    const int bits = n % Limbs::limbBits;
    r.reserve(used + words + 1, &r == &a);
    Limb* out = r.limbs;
    const Limb* in = a.limbs;
    // Top down, so that r may be a.
    if (bits == 0) {
        for (int i = used - 1; i >= 0; --i) {
            out[i + words] = in[i];
        }
        out[used + words] = 0;
    } else {
        const int back = Limbs::limbBits - bits;
        out[used + words] = in[used - 1] >> back;
        for (int i = used - 1; i > 0; --i) {
            out[i + words] = (in[i] << bits) | (in[i - 1] >> back);
        }
        out[words] = in[0] << bits;
    }
    Limbs::clear(out, words);
    Limbs::setUsed(r, used + words + 1);
}

void shiftRight(BigIntCore& r, const BigIntCore& a, int n)
{
    n = std::max(n, 0);
    const int words = n / Limbs::limbBits;
    const int bits = n % Limbs::limbBits;
    if (words >= a.used) {
        r.used = 0;
        return;
    }
    const int count = a.used - words;
    r.reserve(count, &r == &a);
    Limb* out = r.limbs;
    const Limb* in = a.limbs + words;
    // Bottom up, so that r may be a.
    if (bits == 0) {
        for (int i = 0; i < count; ++i) {
            out[i] = in[i];
        }
    } else {
        const int back = Limbs::limbBits - bits;
        for (int i = 0; i + 1 < count; ++i) {
            out[i] = (in[i] >> bits) | (in[i + 1] << back);
        }
        out[count - 1] = in[count - 1] >> bits;
    }
    Limbs::setUsed(r, count);
}

void fromBytes(BigIntCore& r, const ByteString& bytes)
{
    const int length = static_cast<int>(bytes.size());
    const int count = (length + 3) / 4;
    r.reserve(count, false);
    Limbs::clear(r.limbs, count);
    for (int i = 0; i < length; ++i) {
        const int fromEnd = length - 1 - i;
        r.limbs[fromEnd / 4] |= Limb{bytes[static_cast<std::size_t>(i)]} << (8 * (fromEnd % 4));
    }
    r.negative = false;
    Limbs::setUsed(r, count);
}

void toBytes(const BigIntCore& a, ByteString& bytes)
{
    bytes.clear();
    const int count = (bitCount(a) + 7) / 8;
    if (count == 0) {
        return;
    }
    const Limb top = a.limbs[(count - 1) / 4] >> (8 * ((count - 1) % 4));
    const bool signByte = !a.negative && (top & 0x80) != 0;
    bytes.reserve(static_cast<std::size_t>(count) + (signByte ? 1 : 0));
    if (signByte) {
        bytes.push_back(0);
    }
    for (int i = count - 1; i >= 0; --i) {
        bytes.push_back(static_cast<std::uint8_t>(a.limbs[i / 4] >> (8 * (i % 4))));
    }
}

namespace Limbs {

void addMagnitudes(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    const BigIntCore* longer = &a;
    const BigIntCore* shorter = &b;
    if (a.used < b.used) {
        std::swap(longer, shorter);
    }
    const int nl = longer->used;
    const int ns = shorter->used;
    // Storage pointers are read after the reserve, which may move r's limbs.
    r.reserve(nl + 1, &r == &a || &r == &b);
    const Limb carry = add(r.limbs, longer->limbs, shorter->limbs, ns);
    r.limbs[nl] = addCarry(r.limbs + ns, longer->limbs + ns, nl - ns, carry);
    setUsed(r, nl + 1);
}

void subMagnitudes(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    const int na = a.used;
    const int nb = b.used;
    r.reserve(na, &r == &a || &r == &b);
    const Limb borrow = sub(r.limbs, a.limbs, b.limbs, nb);
    subBorrow(r.limbs + nb, a.limbs + nb, na - nb, borrow);
    setUsed(r, na);
}

void assign(BigIntCore& r, const BigIntCore& a)
{
    if (&r == &a) {
        return;
    }
    r.reserve(a.used, false);
    copyLimbs(r.limbs, a.limbs, a.used);
    r.used = a.used;
    r.negative = a.negative;
}

} // namespace Limbs

} // namespace LumenCryptMini
