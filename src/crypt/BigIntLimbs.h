#pragma once

// Limb-span kernels shared by the big-number sources. Spans are least
// significant limb first; lengths are in limbs. Unless a kernel says
// otherwise the result span may be exactly an operand span, but must not
// overlap one partially.

#include "crypt/BigIntCore.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace LumenCryptMini::Limbs {

using Limb = std::uint32_t;
using DoubleLimb = std::uint64_t;

constexpr int limbBits = 32;

inline Limb low(DoubleLimb v)
{
    return static_cast<Limb>(v);
}

inline Limb high(DoubleLimb v)
{
    return static_cast<Limb>(v >> limbBits);
}

// Restores the invariant that a non-zero number's top limb is non-zero.
inline void trim(BigIntCore& a)
{
    int n = a.used;
    while (n > 0 && a.limbs[n - 1] == 0) {
        --n;
    }
    a.used = static_cast<std::uint16_t>(n);
}

inline void setUsed(BigIntCore& a, int n)
{
    a.used = static_cast<std::uint16_t>(n);
    trim(a);
}

inline void clear(Limb* r, int n)
{
    for (int i = 0; i < n; ++i) {
        r[i] = 0;
    }
}

inline void copyLimbs(Limb* r, const Limb* a, int n)
{
    for (int i = 0; i < n; ++i) {
        r[i] = a[i];
    }
}

// Carry chains and the basecase products run on machine words of one or two
// limbs: where the compiler offers a 128-bit type, pairs of limbs are handled
// as 64-bit words, which halves the carry steps and quarters the partial
// products.
#if defined(__SIZEOF_INT128__)
using Word = std::uint64_t;
__extension__ typedef unsigned __int128 DoubleWord;
constexpr int wordLimbs = 2;

// On a little-endian machine a limb pair is a word in memory as it stands,
// and one 64-bit access replaces two.
inline Word loadWord(const Limb* p)
{
    if constexpr (std::endian::native == std::endian::little) {
        Word w;
        std::memcpy(&w, p, sizeof w);
        return w;
    } else {
        return Word{p[0]} | (Word{p[1]} << limbBits);
    }
}

inline void storeWord(Limb* p, Word w)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &w, sizeof w);
    } else {
        p[0] = static_cast<Limb>(w);
        p[1] = static_cast<Limb>(w >> limbBits);
    }
}
#else
using Word = Limb;
using DoubleWord = DoubleLimb;
constexpr int wordLimbs = 1;

inline Word loadWord(const Limb* p)
{
    return *p;
}

inline void storeWord(Limb* p, Word w)
{
    *p = w;
}
#endif

constexpr int wordBits = 8 * static_cast<int>(sizeof(Word));

// r = a + b; returns the carry. The carries are comparisons of words, which
// compilers turn into flag arithmetic more readily than double-word sums.
inline Limb add(Limb* r, const Limb* a, const Limb* b, int n)
{
    Word carry = 0;
    int i = 0;
    for (; i + wordLimbs <= n; i += wordLimbs) {
        const Word x = loadWord(a + i);
        const Word s = x + loadWord(b + i);
        const Word t = s + carry;
        carry = static_cast<Word>((s < x) | (t < s));
        storeWord(r + i, t);
    }
    for (; i < n; ++i) {
        const DoubleLimb s = static_cast<DoubleLimb>(a[i]) + b[i] + carry;
        r[i] = low(s);
        carry = high(s);
    }
    return static_cast<Limb>(carry);
}

// r = a - b; returns the borrow (0 or 1).
inline Limb sub(Limb* r, const Limb* a, const Limb* b, int n)
{
    Word borrow = 0;
    int i = 0;
    for (; i + wordLimbs <= n; i += wordLimbs) {
        const Word x = loadWord(a + i);
        const Word d = x - loadWord(b + i);
        const Word t = d - borrow;
        borrow = static_cast<Word>((x < d) | (d < t));
        storeWord(r + i, t);
    }
    for (; i < n; ++i) {
        const DoubleLimb d = static_cast<DoubleLimb>(a[i]) - b[i] - borrow;
        r[i] = low(d);
        borrow = high(d) & 1;
    }
    return static_cast<Limb>(borrow);
}

// r = a + carry; returns the carry out.
inline Limb addCarry(Limb* r, const Limb* a, int n, Limb carry)
{
    int i = 0;
    for (; i < n && carry != 0; ++i) {
        const DoubleLimb s = static_cast<DoubleLimb>(a[i]) + carry;
        r[i] = low(s);
        carry = high(s);
    }
    if (r != a) {
        copyLimbs(r + i, a + i, n - i);
    }
    return carry;
}

// r = a - borrow; returns the borrow out.
inline Limb subBorrow(Limb* r, const Limb* a, int n, Limb borrow)
{
    int i = 0;
    for (; i < n && borrow != 0; ++i) {
        const Limb v = a[i];
        r[i] = v - borrow;
        borrow = v == 0 ? 1 : 0;
    }
    if (r != a) {
        copyLimbs(r + i, a + i, n - i);
    }
    return borrow;
}

// -1, 0 or 1 for equal-length spans.
inline int compare(const Limb* a, const Limb* b, int n)
{
    for (int i = n - 1; i >= 0; --i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

// r += a * b over n limbs; returns the carry limb.
inline Limb mulAddRow(Limb* r, const Limb* a, int n, Limb b)
{
    DoubleLimb carry = 0;
    for (int i = 0; i < n; ++i) {
        carry += static_cast<DoubleLimb>(a[i]) * b + r[i];
        r[i] = low(carry);
        carry >>= limbBits;
    }
    return low(carry);
}

// The word kernels below take limb pointers and lengths in words: word i is
// limbs [wordLimbs * i, wordLimbs * (i + 1)). Lengths are at least 1, and
// results must not overlap operands.

// r += a * b over n words; returns the carry word.
Word mulAddWordRow(Limb* r, const Limb* a, int n, Word b);

// Product scanning (Comba) over a (wa words) and b (wb words): words
// from..to-1 of S, the sum of the partial products a_i b_j W^(i + j) with
// i + j >= from, into r[0, to - from) words; to <= wa + wb. S falls short of
// a b by less than from W^(from + 1), and for from = 0 the words are those
// of a b itself, modulo W^to.
void mulColumns(Limb* r, const Limb* a, int wa, const Limb* b, int wb, int from, int to);
// r[0, 2n) words = a^2 over n words.
void sqrColumns(Limb* r, const Limb* a, int n);

// r[0, 2n) words = a * b over n words each, b[nb, n) zero (1 <= nb <= n);
// Karatsuba's method above a threshold. ws holds 2n words.
void mulWords(Limb* r, const Limb* a, const Limb* b, int n, int nb, Limb* ws);
// r[0, 2n) words = a^2 over n words; ws as for mulWords.
void sqrWords(Limb* r, const Limb* a, int n, Limb* ws);

// r[0, na + nb) = a * b in limbs, for any lengths; r must not overlap a or b.
void mulBasecase(Limb* r, const Limb* a, int na, const Limb* b, int nb);
// r[0, 2n) = a * a. r must not overlap a.
void sqrBasecase(Limb* r, const Limb* a, int n);

// |r| = |a| + |b|; r may be a or b. The sign of r is not touched.
void addMagnitudes(BigIntCore& r, const BigIntCore& a, const BigIntCore& b);
// |r| = |a| - |b| for |a| >= |b|; r may be a or b. The sign is not touched.
void subMagnitudes(BigIntCore& r, const BigIntCore& a, const BigIntCore& b);
// r = a without the copy rule's reallocation: r keeps its storage when it is
// large enough.
void assign(BigIntCore& r, const BigIntCore& a);

} // namespace LumenCryptMini::Limbs
