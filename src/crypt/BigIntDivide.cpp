// Long division and remainder (Knuth, TAOCP vol. 2, 4.3.1, Algorithm D),
// Stein's binary gcd (Handbook of Applied Cryptography 14.54), the Barrett
// reciprocal and the modular inverse by the extended Euclidean algorithm
// (HAC 2.107).

#include "common/ArithmeticException.h"
#include "common/SecureWipe.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

namespace LumenCryptMini {

using Limbs::Limb;

namespace {

bool isNegative(const BigIntCore& a)
{
    return a.negative && a.used > 0;
}

int trailingZeros(const BigIntCore& a)
{
    int i = 0;
    while (a.limbs[i] == 0) {
        ++i;
    }
    return Limbs::limbBits * i + std::countr_zero(a.limbs[i]);
}

// Algorithm D runs on the limb layer's machine words (pairs of limbs where a
// 128-bit type exists): digits twice as wide take a quarter of the steps.
using Limbs::DoubleWord;
using Limbs::Word;
using Limbs::wordBits;
using Limbs::wordLimbs;

constexpr Word maxWord = ~Word{0};

int wordCount(int limbCount)
{
    return (limbCount + wordLimbs - 1) / wordLimbs;
}

// out[0, wordCount(n)) = a[0, n), the top word zero-padded.
void toWords(Word* out, const Limb* a, int n)
{
    for (int i = 0; i < wordCount(n); ++i) {
        Word w = 0;
        for (int k = 0; k < wordLimbs && i * wordLimbs + k < n; ++k) {
            w |= static_cast<Word>(a[i * wordLimbs + k]) << (Limbs::limbBits * k);
        }
        out[i] = w;
    }
}

void fromWords(Limb* out, const Word* a, int n)
{
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<Limb>(a[i / wordLimbs] >> (Limbs::limbBits * (i % wordLimbs)));
    }
}

// a = a * 2^shift over n words, 0 <= shift < wordBits; returns the bits
// shifted out of the top.
Word shiftWordsLeft(Word* a, int n, int shift)
{
    if (shift == 0) {
        return 0;
    }
    Word out = 0;
    for (int i = 0; i < n; ++i) {
        const Word w = a[i];
        a[i] = (w << shift) | out;
        out = w >> (wordBits - shift);
    }
    return out;
}

void shiftWordsRight(Word* a, int n, int shift)
{
    if (shift == 0) {
        return;
    }
    for (int i = 0; i < n; ++i) {
        const Word above = i + 1 < n ? a[i + 1] : 0;
        a[i] = (a[i] >> shift) | (above << (wordBits - shift));
    }
}

// r -= a * b over n words; returns the word still to be taken from r[n].
// The running carry stays below 2^wordBits: a product with its carry is at
// most (2^w - 1) * 2^w, whose low word is then zero and lends no borrow.
Word mulSubRow(Word* r, const Word* a, int n, Word b)
{
    Word carry = 0;
    for (int i = 0; i < n; ++i) {
        const DoubleWord product = static_cast<DoubleWord>(a[i]) * b + carry;
        const auto low = static_cast<Word>(product);
        carry = static_cast<Word>(product >> wordBits) + (r[i] < low ? 1 : 0);
        r[i] -= low;
    }
    return carry;
}

// r += a over n words; returns the carry.
Word addRow(Word* r, const Word* a, int n)
{
    Word carry = 0;
    for (int i = 0; i < n; ++i) {
        const DoubleWord sum = static_cast<DoubleWord>(r[i]) + a[i] + carry;
        r[i] = static_cast<Word>(sum);
        carry = static_cast<Word>(sum >> wordBits);
    }
    return carry;
}

// u[0, nu + 1) / v[0, nv) for a normalised v (top bit set), u[nu] holding
// the bits that normalising u shifted out: the quotient digits go into
// q[0, nu - nv + 1) when q is given, and the remainder is left in u[0, nv).
// Knuth, TAOCP vol. 2, 4.3.1, Algorithm D, steps D3 to D7; a divisor of one
// word takes the short division of 4.3.1, exercise 16.
void divideWords(Word* u, int nu, const Word* v, int nv, Word* q)
{
    if (nv == 1) {
        Word rest = u[nu];
        for (int j = nu - 1; j >= 0; --j) {
            const DoubleWord part = (static_cast<DoubleWord>(rest) << wordBits) | u[j];
            const auto digit = static_cast<Word>(part / v[0]);
            rest = static_cast<Word>(part - static_cast<DoubleWord>(digit) * v[0]);
            if (q != nullptr) {
                q[j] = digit;
            }
        }
        u[0] = rest;
        return;
    }
    const Word top = v[nv - 1];
    const Word next = v[nv - 2];
    for (int j = nu - nv; j >= 0; --j) {
        // D3: with v normalised the estimate from the top two words is at
        // most two too large (Theorem B); testing it against the next word of
        // each removes every excess of two and most of one. Once the
        // remainder reaches 2^wordBits the test cannot hold any more, and
        // stopping there keeps it from overflowing.
        const DoubleWord head = (static_cast<DoubleWord>(u[j + nv]) << wordBits) | u[j + nv - 1];
        DoubleWord digit = head / top;
        DoubleWord rest = head - digit * top;
        while (digit > maxWord || digit * next > ((rest << wordBits) | u[j + nv - 2])) {
            --digit;
            rest += top;
            if (rest > maxWord) {
                break;
            }
        }
        // D4 to D6: subtract digit * v; a borrow out of the top means the
        // digit was still one too large, and v is added back.
        const Word borrow = mulSubRow(u + j, v, nv, static_cast<Word>(digit));
        const Word head0 = u[j + nv];
        u[j + nv] = head0 - borrow;
        if (head0 < borrow) {
            --digit;
            u[j + nv] += addRow(u + j, v, nv);
        }
        if (q != nullptr) {
            q[j] = static_cast<Word>(digit);
        }
    }
}

// rem = |rem| mod |d| and, when quotient is given, quotient = floor(|rem| /
// |d|), non-negative. rem holds a non-negative number. A zero d leaves rem as
// it is, which mod relies on for a zero modulus.
void reduce(BigIntCore& rem, const BigIntCore& d, BigIntCore* quotient)
{
    const int na = rem.used;
    const int nd = d.used;
    if (nd == 0 || na < nd) {
        if (quotient != nullptr) {
            setZero(*quotient);
        }
        return;
    }
    const int nu = wordCount(na);
    const int nv = wordCount(nd);
    // u with a spare top word, v, and the quotient digits when wanted: copies
    // of the operands, so wiped when they are given back, as their storage is.
    const int digits = quotient != nullptr ? nu - nv + 1 : 0;
    std::vector<Word, WipingAllocator<Word>> work(static_cast<std::size_t>(nu + 1 + nv + digits));
    Word* u = work.data();
    Word* v = u + nu + 1;
    Word* q = v + nv;
    toWords(u, rem.limbs, na);
    toWords(v, d.limbs, nd);
    // D1: scale both so that v's top bit is set; the quotient is unchanged
    // and the remainder comes out scaled by the same power of two.
    const int shift = std::countl_zero(v[nv - 1]);
    u[nu] = shiftWordsLeft(u, nu, shift);
    shiftWordsLeft(v, nv, shift);
    divideWords(u, nu, v, nv, quotient != nullptr ? q : nullptr);
    // D8
    shiftWordsRight(u, nv, shift);
    fromWords(rem.limbs, u, nd);
    Limbs::setUsed(rem, nd);
    if (quotient != nullptr) {
        // floor(|a| / |d|) < 2^(32 (na - nd + 1)), and q holds that many limbs.
        const int count = na - nd + 1;
        quotient->reserve(count, false);
        fromWords(quotient->limbs, q, count);
        quotient->negative = false;
        Limbs::setUsed(*quotient, count);
    }
}

} // namespace

void div(BigIntCore* q, BigIntCore* r, const BigIntCore& a, const BigIntCore& d)
{
    if (d.used == 0) {
        throw ArithmeticException("div: Divide by zero");
    }
    // A negative dividend gives q = 0 and r = a whatever its magnitude, as
    // the bit-serial division before this one did (its test r >= t never held
    // for a negative r); only non-negative numbers are divided in earnest.
    if (cmp(a, d) < 0 || isNegative(a) || bitCount(a) < bitCount(d)) {
        if (r != nullptr) {
            copy(*r, a);
        }
        if (q != nullptr && q != r) {
            setZero(*q);
        }
        return;
    }
    const bool negativeQuotient = a.negative != d.negative;
    BigIntCore remainder;
    Limbs::assign(remainder, a);
    remainder.negative = false;
    BigIntCore quotient;
    reduce(remainder, d, q != nullptr ? &quotient : nullptr);
    if (q != nullptr) {
        quotient.negative = negativeQuotient && quotient.used > 0;
        Limbs::assign(*q, quotient);
    }
    if (r != nullptr) {
        Limbs::assign(*r, remainder);
    }
}

void mod(BigIntCore& r, const BigIntCore& a, const BigIntCore& m)
{
    if (&r == &m) {
        throw ArithmeticException("Result must not be the same object as m");
    }
    const bool negative = isNegative(a);
    if (cmpMagnitude(a, m) >= 0) {
        Limbs::assign(r, a);
        r.negative = false;
        reduce(r, m, nullptr);
        // m - (|a| mod m) for a negative a; a multiple of m leaves zero.
        if (negative && r.used > 0) {
            r.negative = true;
            add(r, m, r);
        }
    } else if (negative) {
        add(r, m, a);
    } else {
        copy(r, a);
    }
}

void gcd(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    BigIntCore first;
    BigIntCore second;
    Limbs::assign(first, a);
    Limbs::assign(second, b);
    first.negative = false;
    second.negative = false;
    BigIntCore* u = &first;
    BigIntCore* v = &second;
    if (cmp(*u, *v) < 0) {
        std::swap(u, v);
    }
    if (v->used == 0) {
        Limbs::assign(r, *u);
        return;
    }
    // Stein's method; each run of halvings of one number is done as a single
    // shift, which ends where the halvings would.
    const int common = std::min(trailingZeros(*u), trailingZeros(*v));
    shiftRight(*u, *u, common);
    shiftRight(*v, *v, common);
    while (v->used > 0) {
        const bool uOdd = (u->limbs[0] & 1) != 0;
        const bool vOdd = (v->limbs[0] & 1) != 0;
        if (uOdd && vOdd) {
            Limbs::subMagnitudes(*u, *u, *v);
            shiftRight(*u, *u, 1);
        } else if (uOdd) {
            shiftRight(*v, *v, trailingZeros(*v));
        } else {
            shiftRight(*u, *u, trailingZeros(*u));
        }
        if (cmpMagnitude(*u, *v) < 0) {
            std::swap(u, v);
        }
    }
    shiftLeft(*u, *u, common);
    Limbs::assign(r, *u);
}

int makeRecip(BigIntCore& r, const BigIntCore& m)
{
    const int n = bitCount(m);
    BigIntCore power;
    const int top = (2 * n) / Limbs::limbBits;
    power.reserve(top + 1, false);
    Limbs::clear(power.limbs, top + 1);
    power.limbs[top] = Limb{1} << ((2 * n) % Limbs::limbBits);
    power.used = static_cast<std::uint16_t>(top + 1);
    div(&r, nullptr, power, m);
    return n + 1;
}

void inverseModN(BigIntCore& r, const BigIntCore& a, const BigIntCore& m)
{
    if (isNegative(a) || isNegative(m)) {
        throw ArithmeticException("inverseModN");
    }
    // Invariant: g0 = x0 a (mod m) and g1 = x1 a (mod m); the remainders fall
    // to gcd(a, m), which is 1 for coprime operands.
    BigIntCore values[3];
    BigIntCore coefficients[3];
    BigIntCore* g0 = &values[0];
    BigIntCore* g1 = &values[1];
    BigIntCore* g2 = &values[2];
    BigIntCore* x0 = &coefficients[0];
    BigIntCore* x1 = &coefficients[1];
    BigIntCore* x2 = &coefficients[2];
    Limbs::assign(*g0, m);
    Limbs::assign(*g1, a);
    setOne(*x1);
    BigIntCore quotient;
    BigIntCore product;
    while (g1->used > 0) {
        div(&quotient, g2, *g0, *g1);
        mul(product, quotient, *x1);
        sub(*x2, *x0, product);
        std::swap(g0, g1);
        std::swap(g1, g2);
        std::swap(x0, x1);
        std::swap(x1, x2);
    }
    if (isNegative(*x0)) {
        add(*x0, *x0, m);
    }
    Limbs::assign(r, *x0);
}

} // namespace LumenCryptMini
