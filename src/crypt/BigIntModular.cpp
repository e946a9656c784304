// Barrett multiplication (Handbook of Applied Cryptography 14.42) and
// right-to-left binary exponentiation (HAC 14.76).

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace LumenCryptMini {

namespace {

using Limbs::Limb;
using Limbs::loadWord;
using Limbs::storeWord;
using Limbs::Word;
using Limbs::wordBits;
using Limbs::wordLimbs;

constexpr int maxCorrections = 3;
// The columns of t recip that the high product leaves out add less than
// from * 2^(wordBits (from + 1)), and from < 2^fromBits since no number has
// more than 2^15 words. Of the product's bits between that bound and bit k,
// guardBits must not all be ones for q to be exact; they are, once in
// 2^guardBits products, and then the product is formed whole.
constexpr int fromBits = 16;
constexpr int guardBits = 48;

int wordsOf(int limbs)
{
    return (limbs + wordLimbs - 1) / wordLimbs;
}

Limb* wordAt(Limb* p, int words)
{
    return p + wordLimbs * words;
}

// Words up to the highest non-zero one.
int usedWords(const Limb* p, int n)
{
    while (n > 0 && loadWord(p + wordLimbs * (n - 1)) == 0) {
        --n;
    }
    return n;
}

int bitLength(const Limb* p, int n)
{
    n = usedWords(p, n);
    return n == 0 ? 0
                  : wordBits * (n - 1) +
                        static_cast<int>(std::bit_width(loadWord(p + wordLimbs * (n - 1))));
}

// The words of p (n words) from bit `shift` on, as `count` words: a pointer
// into p when the shift is whole words, else a shifted copy in r.
const Limb* shiftRightWords(Limb* r, const Limb* p, int n, int shift, int& count)
{
    const int skip = shift / wordBits;
    const int bits = shift % wordBits;
    count = std::max(n - skip, 0);
    if (bits == 0) {
        return p + wordLimbs * skip;
    }
    for (int i = 0; i < count; ++i) {
        Word w = loadWord(p + wordLimbs * (skip + i)) >> bits;
        if (skip + i + 1 < n) {
            w |= loadWord(p + wordLimbs * (skip + i + 1)) << (wordBits - bits);
        }
        storeWord(r + wordLimbs * i, w);
    }
    return r;
}

// Whether bits [from, to) of p (n words, zero above) are all ones; true for
// an empty range.
bool allOnes(const Limb* p, int n, int from, int to)
{
    for (int bit = from; bit < to;) {
        const int word = bit / wordBits;
        if (word >= n) {
            return false;
        }
        const int offset = bit % wordBits;
        const int count = std::min(wordBits - offset, to - bit);
        const Word ones = count == wordBits ? ~Word{0} : (Word{1} << count) - 1;
        const Word mask = ones << offset;
        if ((loadWord(p + wordLimbs * word) & mask) != mask) {
            return false;
        }
        bit += count;
    }
    return true;
}

// a <= 2^e for a >= 0.
bool atMostPowerOfTwo(const BigIntCore& a, int e)
{
    const int bits = bitCount(a);
    if (bits != e + 1) {
        return bits <= e;
    }
    for (int i = 0; i + 1 < a.used; ++i) {
        if (a.limbs[i] != 0) {
            return false;
        }
    }
    return std::has_single_bit(a.limbs[a.used - 1]);
}

void copyPadded(Limb* r, const BigIntCore& a, int words)
{
    Limbs::copyLimbs(r, a.limbs, a.used);
    Limbs::clear(r + a.used, wordLimbs * words - a.used);
}

// a as `words` whole words: its own limbs when it fills them, else a copy
// padded with zeros in r.
const Limb* asWords(Limb* r, const BigIntCore& a, int words)
{
    if (a.used == wordLimbs * words) {
        return a.limbs;
    }
    copyPadded(r, a, words);
    return r;
}

// One modulus with its reciprocal, and the temporaries of a reduction, which
// are kept so that a run of multiplications allocates only on its first.
//
// With x = a b, the reduction is q = floor(floor(x / 2^k) recip / 2^k) and
// r = x - q m, then at most three subtractions of m. When recip is exactly
// floor(2^(2k) / m) and 0 <= x < 2^(2k), then q m <= x and x - q m < 2m + 2^k
// (the argument of HAC 14.42's note, in bits), so r follows from the low
// words of x and q m alone; and q needs only the columns of t recip from a
// little below bit k up. That path computes only those halves; other
// operands take the whole products, and both give the same r or the same
// exception.
class Barrett {
  public:
    Barrett(const BigIntCore& modulus, const BigIntCore& reciprocal, std::int16_t recipBits,
            BigIntScratch* area)
        : m(modulus), recip(reciprocal), k(recipBits > 0 ? recipBits - 1 : 0), scratch(area)
    {
        if (reciprocalIsExact()) {
            layOutWords();
        }
    }

    // Sizes the temporaries of the whole products for operands below m.
    void reserve()
    {
        if (words.empty()) {
            const int n = m.used + 1;
            x.reserve(2 * n, false);
            t.reserve(2 * n, false);
            u.reserve(2 * n, false);
        }
    }

    // r = a b mod m; r may be a or b, but neither m nor recip.
    void multiply(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
    {
        if (words.empty() || (a.negative && a.used > 0) || (b.negative && b.used > 0) ||
            a.used > wordLimbs * mWords || b.used > wordLimbs * mWords ||
            !multiplyByHalves(r, a, b)) {
            multiplyWhole(r, a, b);
        }
    }

  private:
    // recip m <= 2^(2k) < recip m + m.
    bool reciprocalIsExact()
    {
        if (m.used == 0 || m.negative || recip.used == 0 || recip.negative) {
            return false;
        }
        BigIntCore product;
        mul(product, recip, m, scratch);
        if (!atMostPowerOfTwo(product, 2 * k)) {
            return false;
        }
        add(product, product, m);
        return !atMostPowerOfTwo(product, 2 * k);
    }

    void layOutWords()
    {
        mWords = wordsOf(m.used);
        recipWords = wordsOf(recip.used);
        lowWords = (std::max(bitCount(m), k) + 2 + wordBits - 1) / wordBits;
        const int productWords = 2 * mWords;
        const struct {
            Limb** at;
            int words;
        } parts[] = {{&mAt, mWords},
                     {&recipAt, recipWords},
                     {&aAt, mWords},
                     {&bAt, mWords},
                     {&xAt, std::max(productWords, lowWords)},
                     {&tAt, productWords},
                     {&highAt, productWords + recipWords},
                     {&qAt, productWords + recipWords},
                     {&lowAt, lowWords},
                     {&wsAt, productWords}};
        int total = 0;
        for (const auto& part : parts) {
            total += part.words;
        }
        words.assign(static_cast<std::size_t>(wordLimbs * total), 0);
        Limb* at = words.data();
        for (const auto& part : parts) {
            *part.at = at;
            at = wordAt(at, part.words);
        }
        copyPadded(mAt, m, mWords);
        copyPadded(recipAt, recip, recipWords);
    }

    // False, with r untouched, when a b is 2^(2k) or more.
    bool multiplyByHalves(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
    {
        if (a.used == 0 || b.used == 0) {
            setZero(r);
            return true;
        }
        const int n = mWords;
        const Limb* aWords = asWords(aAt, a, n);
        if (&a == &b) {
            Limbs::sqrWords(xAt, aWords, n, wsAt);
        } else {
            Limbs::mulWords(xAt, aWords, asWords(bAt, b, n), n, n, wsAt);
        }
        if (bitLength(xAt, 2 * n) > 2 * k) {
            return false;
        }

        int tWords = 0;
        const Limb* shifted = shiftRightWords(tAt, xAt, 2 * n, k, tWords);
        tWords = usedWords(shifted, tWords);
        int qWords = 0;
        const Limb* q = qAt;
        if (tWords > 0) {
            const int productWords = tWords + recipWords;
            int from = std::max((k - guardBits - fromBits) / wordBits - 1, 0);
            if (from >= productWords) {
                from = 0;
            }
            Limbs::mulColumns(highAt, shifted, tWords, recipAt, recipWords, from, productWords);
            if (from > 0 &&
                allOnes(highAt, productWords - from, wordBits + fromBits, k - wordBits * from)) {
                from = 0;
                Limbs::mulColumns(highAt, shifted, tWords, recipAt, recipWords, 0, productWords);
            }
            q = shiftRightWords(qAt, highAt, productWords - from, k - wordBits * from, qWords);
            qWords = usedWords(q, qWords);
        }

        // r = x - q m, from the low words alone.
        const int productWords = qWords == 0 ? 0 : std::min(lowWords, qWords + mWords);
        if (productWords > 0) {
            Limbs::mulColumns(lowAt, q, qWords, mAt, mWords, 0, productWords);
        }
        Limbs::clear(wordAt(lowAt, productWords), wordLimbs * (lowWords - productWords));
        // a and b are no longer read, so r may take the difference even when
        // it is one of them.
        r.reserve(wordLimbs * lowWords, false);
        Limb* difference = r.limbs;
        Limbs::sub(difference, xAt, lowAt, wordLimbs * lowWords);
        for (int i = 0; i < maxCorrections && !belowModulus(difference); ++i) {
            const Limb borrow = Limbs::sub(difference, difference, mAt, wordLimbs * mWords);
            Limbs::subBorrow(wordAt(difference, mWords), wordAt(difference, mWords),
                             wordLimbs * (lowWords - mWords), borrow);
        }
        if (!belowModulus(difference)) {
            throw ArithmeticException("modMulRecip");
        }
        r.negative = false;
        Limbs::setUsed(r, wordLimbs * mWords);
        return true;
    }

    // Whether the lowWords words at p are below m.
    bool belowModulus(const Limb* p) const
    {
        return usedWords(p, lowWords) <= mWords && Limbs::compare(p, mAt, wordLimbs * mWords) < 0;
    }

    void multiplyWhole(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
    {
        mul(x, a, b, scratch);
        shiftRight(t, x, k);
        mul(u, t, recip, scratch);
        shiftRight(t, u, k);
        mul(u, t, m, scratch);
        subtract(r);
        correct(r);
    }

    void correct(BigIntCore& r)
    {
        for (int i = 0; i < maxCorrections && cmp(r, m) >= 0; ++i) {
            // With r >= m >= 0 the magnitudes can be subtracted directly.
            if (m.negative) {
                sub(r, r, m);
            } else {
                Limbs::subMagnitudes(r, r, m);
            }
        }
        if (cmp(r, m) >= 0) {
            throw ArithmeticException("modMulRecip");
        }
    }

    // r = x - u. For operands below m the difference is below 4m, so x and u
    // agree in all but their lowest limbs; the equal top limbs are skipped
    // rather than subtracted to zero.
    void subtract(BigIntCore& r)
    {
        if (x.negative || u.negative || x.used != u.used || u.used == 0) {
            sub(r, x, u);
            return;
        }
        int top = x.used - 1;
        while (top >= 0 && x.limbs[top] == u.limbs[top]) {
            --top;
        }
        if (top < 0) {
            setZero(r);
        } else if (x.limbs[top] < u.limbs[top]) {
            sub(r, x, u);
        } else {
            r.reserve(top + 1, false);
            Limbs::sub(r.limbs, x.limbs, u.limbs, top + 1);
            r.negative = false;
            Limbs::setUsed(r, top + 1);
        }
    }

    const BigIntCore& m;
    const BigIntCore& recip;
    const int k;
    BigIntScratch* scratch;
    // The whole products' temporaries.
    BigIntCore x;
    BigIntCore t;
    BigIntCore u;
    // The halves' word spans, all in one block (empty when the halves do not
    // apply): m and recip padded to whole words, the operands, x, t, the
    // columns of t recip, q, the low words of q m, Karatsuba's working area.
    BigIntScratch words;
    int mWords = 0;
    int recipWords = 0;
    int lowWords = 0;
    Limb* mAt = nullptr;
    Limb* recipAt = nullptr;
    Limb* aAt = nullptr;
    Limb* bAt = nullptr;
    Limb* xAt = nullptr;
    Limb* tAt = nullptr;
    Limb* highAt = nullptr;
    Limb* qAt = nullptr;
    Limb* lowAt = nullptr;
    Limb* wsAt = nullptr;
};

bool isOne(const BigIntCore& a)
{
    return a.used == 1 && a.limbs[0] == 1;
}

} // namespace

void modMulRecip(BigIntCore& r, const BigIntCore& a, const BigIntCore& b, const BigIntCore& m,
                 const BigIntCore& recip, std::int16_t recipBits, BigIntScratch* scratch)
{
    Barrett barrett(m, recip, recipBits, scratch);
    if (&r == &m || &r == &recip) {
        BigIntCore result;
        barrett.multiply(result, a, b);
        Limbs::assign(r, result);
    } else {
        barrett.multiply(r, a, b);
    }
}

void modExp(BigIntCore& r, const BigIntCore& a, const BigIntCore& e, const BigIntCore& m,
            const BigIntCore& recip, std::int16_t recipBits)
{
    BigIntCore base;
    mod(base, a, m);
    // The result is built apart when r is needed as an input until the end.
    BigIntCore separate;
    BigIntCore& result = (&r == &e || &r == &m || &r == &recip) ? separate : r;
    if (testBit(e, 0)) {
        Limbs::assign(result, base);
    } else if (isOne(m)) {
        setZero(result); // x^0 is 1, and 1 mod 1 is 0
    } else {
        setOne(result);
    }

    BigIntScratch scratch;
    Barrett barrett(m, recip, recipBits, &scratch);
    barrett.reserve();
    result.reserve(2 * (m.used + 1), true);
    base.reserve(2 * (m.used + 1), true);
    // Right to left: base runs through a^(2^i), and result collects the
    // powers whose bit of e is set.
    const int bits = bitCount(e);
    for (int i = 1; i < bits; ++i) {
        barrett.multiply(base, base, base);
        if (testBit(e, i)) {
            barrett.multiply(result, result, base);
        }
    }
    if (e.negative && e.used > 0) {
        inverseModN(result, result, m);
    }
    if (&result != &r) {
        Limbs::assign(r, result);
    }
}

} // namespace LumenCryptMini
