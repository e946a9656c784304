// Karatsuba's method (Knuth, TAOCP vol. 2, 4.3.3) on whole words, over the
// product-scanning basecase.

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace LumenCryptMini {

using Limbs::DoubleWord;
using Limbs::Limb;
using Limbs::loadWord;
using Limbs::storeWord;
using Limbs::Word;
using Limbs::wordBits;
using Limbs::wordLimbs;

namespace {

// In words: up to the largest basecase block, a product is one unrolled
// kernel, which Karatsuba's split does not beat (measured from 512 to 2048
// bits against thresholds of 8 to 24 words).
constexpr int mulThreshold = 16;
constexpr int sqrThreshold = 16;

Limb* wordAt(Limb* p, int words)
{
    return p + wordLimbs * words;
}

const Limb* wordAt(const Limb* p, int words)
{
    return p + wordLimbs * words;
}

// sum = x + y + z + w + carry, with the overflows counted in carry.
inline Word add4(Word x, Word y, Word z, Word w, Word& carry)
{
    Word count = 0;
    const Word s1 = x + y;
    count += s1 < x ? 1 : 0;
    const Word s2 = s1 + z;
    count += s2 < s1 ? 1 : 0;
    const Word s3 = s2 + w;
    count += s3 < s2 ? 1 : 0;
    const Word s4 = s3 + carry;
    count += s4 < s3 ? 1 : 0;
    carry = count;
    return s4;
}

// With r = L0 L1 H0 H1 (h words each: lo = L0 + L1 W^h, hi = H0 + H1 W^h)
// and d = D0 + D1 W^h, adds lo + hi - d (or + d) at word h of r in one pass:
// L1 takes L0 + H0 -+ D0 and H0 takes L1 + H1 -+ D1, two carry chains that
// run side by side. A subtraction adds the complement of d plus one and
// gives the one back at the top of each half. Each half then carries into
// the words above it; the sum fits r, so those carries end inside it.
template <bool subtract> void addMiddle(Limb* r, const Limb* d, int h)
{
    constexpr Word taken = subtract ? 1 : 0;
    constexpr Word flip = subtract ? ~Word{0} : Word{0};
    Limb* l1 = wordAt(r, h);
    Limb* h0 = wordAt(r, 2 * h);
    const Limb* h1 = wordAt(r, 3 * h);
    const Limb* d1 = wordAt(d, h);
    Word lowCarry = taken;
    Word highCarry = taken;
    for (int i = 0; i < h; ++i) {
        const Word oldL1 = loadWord(wordAt(l1, i));
        const Word oldH0 = loadWord(wordAt(h0, i));
        const Word low =
            add4(loadWord(wordAt(r, i)), oldH0, loadWord(wordAt(d, i)) ^ flip, oldL1, lowCarry);
        const Word high =
            add4(oldL1, loadWord(wordAt(h1, i)), loadWord(wordAt(d1, i)) ^ flip, oldH0, highCarry);
        storeWord(wordAt(l1, i), low);
        storeWord(wordAt(h0, i), high);
    }
    const Word carries[2] = {lowCarry, highCarry};
    for (int half = 0; half < 2; ++half) {
        Limb* at = wordAt(r, (2 + half) * h);
        const int length = wordLimbs * (2 - half) * h;
        if (carries[half] > taken) {
            // At most three overflows: small enough for a limb.
            Limbs::addCarry(at, at, length, static_cast<Limb>(carries[half] - taken));
        } else if (carries[half] < taken) {
            Limbs::subBorrow(at, at, length, 1);
        }
    }
}

// |x - y| over n words into r; true when x < y.
bool absoluteDifference(Limb* r, const Limb* x, const Limb* y, int n)
{
    const int length = wordLimbs * n;
    if (Limbs::compare(x, y, length) >= 0) {
        Limbs::sub(r, x, y, length);
        return false;
    }
    Limbs::sub(r, y, x, length);
    return true;
}

// The odd top word of n = 2h + 1: with a = A + at W^(2h) and
// b = B + bt W^(2h), adds at B W^(2h) + bt A W^(2h) to r[2h, 4h) and
// writes the carries with at bt to words 4h and 4h + 1.
void addOddTop(Limb* r, const Limb* a, const Limb* b, int full, Word at, Word bt)
{
    DoubleWord top = static_cast<DoubleWord>(at) * bt;
    if (at != 0) {
        top += Limbs::mulAddWordRow(wordAt(r, full), b, full, at);
    }
    if (bt != 0) {
        top += Limbs::mulAddWordRow(wordAt(r, full), a, full, bt);
    }
    storeWord(wordAt(r, 2 * full), static_cast<Word>(top));
    storeWord(wordAt(r, 2 * full + 1), static_cast<Word>(top >> wordBits));
}

void checkResultIsNotOperand(const BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    if (&r == &a || &r == &b) {
        throw ArithmeticException("Result must not be either Parameter (a or b)");
    }
}

} // namespace

namespace Limbs {

// Of b's zero words [nb, n) only an odd top one may be missing from its
// storage; the rest must be there. Each level of the recursion uses 2h words
// of ws and passes the rest on.
void mulWords(Limb* r, const Limb* a, const Limb* b, int n, int nb, Limb* ws)
{
    if (n <= mulThreshold) {
        mulColumns(r, a, n, b, nb, 0, n + nb);
        clear(wordAt(r, n + nb), wordLimbs * (n - nb));
        return;
    }
    const int h = n / 2;
    const int full = 2 * h;
    if (nb <= h) {
        // b lies in the low half: a0 b and a1 b are the only products.
        mulWords(r, a, b, h, nb, ws);
        mulWords(ws, wordAt(a, h), b, h, nb, wordAt(ws, full));
        clear(wordAt(r, full), wordLimbs * (2 * n - full));
        const Limb carry = add(wordAt(r, h), wordAt(r, h), ws, wordLimbs * full);
        addCarry(wordAt(r, h + full), wordAt(r, h + full), wordLimbs * (2 * n - h - full), carry);
    } else {
        // The half differences go into r's low half, which is free until the
        // low product is formed. (a0 - a1)(b0 - b1) is negative when exactly
        // one difference is.
        Limb* da = r;
        Limb* db = wordAt(r, h);
        const bool negativeA = absoluteDifference(da, a, wordAt(a, h), h);
        const bool negativeB = absoluteDifference(db, b, wordAt(b, h), h);
        mulWords(ws, da, db, h, h, wordAt(ws, full));
        mulWords(r, a, b, h, h, wordAt(ws, full));
        mulWords(wordAt(r, full), wordAt(a, h), wordAt(b, h), h, std::min(h, nb - h),
                 wordAt(ws, full));
        // a0 b1 + a1 b0 = lo + hi - (a0 - a1)(b0 - b1).
        if (negativeA != negativeB) {
            addMiddle<false>(r, ws, h);
        } else {
            addMiddle<true>(r, ws, h);
        }
    }
    if (n > full) {
        addOddTop(r, a, b, full, loadWord(wordAt(a, full)),
                  nb > full ? loadWord(wordAt(b, full)) : 0);
    }
}

void sqrWords(Limb* r, const Limb* a, int n, Limb* ws)
{
    if (n <= sqrThreshold) {
        sqrColumns(r, a, n);
        return;
    }
    // The shape of mulWords, where every product is a square and the middle
    // term is never negative.
    const int h = n / 2;
    const int full = 2 * h;
    absoluteDifference(r, a, wordAt(a, h), h);
    sqrWords(ws, r, h, wordAt(ws, full));
    sqrWords(r, a, h, wordAt(ws, full));
    sqrWords(wordAt(r, full), wordAt(a, h), h, wordAt(ws, full));
    addMiddle<true>(r, ws, h);
    if (n > full) {
        const Word at = loadWord(wordAt(a, full));
        addOddTop(r, a, a, full, at, at);
    }
}

} // namespace Limbs

void mul(BigIntCore& r, const BigIntCore& a, const BigIntCore& b, BigIntScratch* scratch)
{
    checkResultIsNotOperand(r, a, b);
    const BigIntCore* longer = &a;
    const BigIntCore* shorter = &b;
    if (a.used < b.used) {
        std::swap(longer, shorter);
    }
    const int na = longer->used;
    const int ns = shorter->used;
    // Whole words: an odd limb at the top of an operand is padded with a zero.
    const int n = (na + wordLimbs - 1) / wordLimbs;
    const int nb = (ns + wordLimbs - 1) / wordLimbs;
    if (ns == 0 || n <= std::min(mulThreshold, sqrThreshold)) {
        mul(r, a, b);
        return;
    }
    // 2n words cover the recursion; in front of them, a padded copy of the
    // longer operand and a zero-extended one of the shorter where needed.
    const std::size_t need = static_cast<std::size_t>(4 * wordLimbs * n);
    BigIntScratch local;
    if (scratch == nullptr) {
        local.resize(need);
        scratch = &local;
    } else if (scratch->size() < need) {
        scratch->resize(need);
    }
    Limb* ws = scratch->data();
    const Limb* x = longer->limbs;
    if (na % wordLimbs != 0) {
        Limbs::copyLimbs(ws, x, na);
        Limbs::clear(ws + na, wordLimbs * n - na);
        x = ws;
        ws = wordAt(ws, n);
    }
    const bool negative = a.negative != b.negative;
    r.reserve(2 * wordLimbs * n, false);
    if (&a == &b) {
        Limbs::sqrWords(r.limbs, x, n, ws);
    } else {
        const Limb* y = shorter->limbs;
        if (ns % wordLimbs != 0 || nb < 2 * (n / 2)) {
            Limbs::copyLimbs(ws, y, ns);
            Limbs::clear(ws + ns, wordLimbs * n - ns);
            y = ws;
            ws = wordAt(ws, n);
        }
        Limbs::mulWords(r.limbs, x, y, n, nb, ws);
    }
    r.negative = negative;
    Limbs::setUsed(r, 2 * wordLimbs * n);
}

} // namespace LumenCryptMini
