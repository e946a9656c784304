// Schoolbook and Karatsuba multiplication.

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace LumenCryptMini {

using Limbs::DoubleLimb;
using Limbs::Limb;

namespace {

constexpr int karatsubaThreshold = 16;

// The basecase works on machine words of one or two limbs: where the compiler
// offers a 128-bit product, pairs of limbs are multiplied 64 by 64 bits, which
// quarters the number of partial products.
#if defined(__SIZEOF_INT128__)
using Word = std::uint64_t;
__extension__ typedef unsigned __int128 DoubleWord;
constexpr int wordLimbs = 2;

inline Word loadWord(const Limb* p)
{
    return Word{p[0]} | (Word{p[1]} << 32);
}

inline void storeWord(Limb* p, Word w)
{
    p[0] = static_cast<Limb>(w);
    p[1] = static_cast<Limb>(w >> 32);
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

// Three-word column accumulator of the product-scanning (Comba) basecase.
struct Column {
    Word c0 = 0;
    Word c1 = 0;
    Word c2 = 0;

    void multiplyAdd(Word x, Word y)
    {
        const DoubleWord p = static_cast<DoubleWord>(x) * y;
        const Word pl = static_cast<Word>(p);
        Word ph = static_cast<Word>(p >> wordBits);
        c0 += pl;
        ph += c0 < pl ? 1 : 0; // ph <= 2^w - 2, so this cannot wrap
        c1 += ph;
        c2 += c1 < ph ? 1 : 0;
    }

    void add(Word lowWord, Word highWord)
    {
        c0 += lowWord;
        const Word carry = c0 < lowWord ? 1 : 0;
        c1 += carry;
        c2 += c1 < carry ? 1 : 0;
        c1 += highWord;
        c2 += c1 < highWord ? 1 : 0;
    }

    void doubleIt()
    {
        c2 = (c2 << 1) | (c1 >> (wordBits - 1));
        c1 = (c1 << 1) | (c0 >> (wordBits - 1));
        c0 <<= 1;
    }

    // Emits the low word and moves the rest down.
    Word next()
    {
        const Word out = c0;
        c0 = c1;
        c1 = c2;
        c2 = 0;
        return out;
    }
};

// r[0, wordLimbs * (wa + wb)) = a * b over wa and wb words.
void mulWords(Limb* r, const Limb* a, int wa, const Limb* b, int wb)
{
    Column column;
    for (int k = 0; k < wa + wb - 1; ++k) {
        const int first = std::max(0, k - wb + 1);
        const int last = std::min(k, wa - 1);
        for (int i = first; i <= last; ++i) {
            column.multiplyAdd(loadWord(a + wordLimbs * i), loadWord(b + wordLimbs * (k - i)));
        }
        storeWord(r + wordLimbs * k, column.next());
    }
    storeWord(r + wordLimbs * (wa + wb - 1), column.next());
}

// r[0, 2 * wordLimbs * w) = a * a: each cross product once, doubled per
// column, then the square on the diagonal.
void sqrWords(Limb* r, const Limb* a, int w)
{
    Word carry0 = 0;
    Word carry1 = 0;
    for (int k = 0; k < 2 * w - 1; ++k) {
        Column column;
        const int first = std::max(0, k - w + 1);
        for (int i = first; 2 * i < k; ++i) {
            column.multiplyAdd(loadWord(a + wordLimbs * i), loadWord(a + wordLimbs * (k - i)));
        }
        column.doubleIt();
        if (k % 2 == 0) {
            const Word d = loadWord(a + wordLimbs * (k / 2));
            column.multiplyAdd(d, d);
        }
        column.add(carry0, carry1);
        storeWord(r + wordLimbs * k, column.next());
        carry0 = column.c0;
        carry1 = column.c1;
    }
    storeWord(r + wordLimbs * (2 * w - 1), carry0);
}

// r[0, 2n) = a[0, n) * b[0, n) with b[nb, n) zero, 1 <= nb <= n. ws holds at
// least 2 * floor(n / 2) limbs per level of recursion (2n in all). r, a, b
// and ws do not overlap.
void karatsuba(Limb* r, const Limb* a, const Limb* b, int n, int nb, Limb* ws)
{
    if (n <= karatsubaThreshold) {
        Limbs::mulBasecase(r, a, n, b, nb);
        Limbs::clear(r + n + nb, n - nb);
        return;
    }
    const int h = n / 2;
    const int full = 2 * h;
    if (nb <= h) {
        // b lies in the low half: a0 * b and a1 * b are the only products.
        karatsuba(r, a, b, h, nb, ws);
        karatsuba(ws, a + h, b, h, nb, ws + full);
        Limbs::clear(r + full, 2 * n - full);
        const Limb carry = Limbs::add(r + h, r + h, ws, full);
        Limbs::addCarry(r + h + full, r + h + full, 2 * n - h - full, carry);
    } else {
        // The half differences go into r's low half, which is free until the
        // low product is formed.
        Limb* da = r;
        Limb* db = r + h;
        const int signA = Limbs::compare(a, a + h, h);
        const int signB = Limbs::compare(b, b + h, h);
        if (signA >= 0) {
            Limbs::sub(da, a, a + h, h);
        } else {
            Limbs::sub(da, a + h, a, h);
        }
        if (signB >= 0) {
            Limbs::sub(db, b, b + h, h);
        } else {
            Limbs::sub(db, b + h, b, h);
        }
        // (a0 - a1)(b0 - b1) is negative when exactly one difference is.
        const bool negativeProduct = (signA < 0) != (signB < 0);
        karatsuba(ws, da, db, h, h, ws + full);
        karatsuba(r, a, b, h, h, ws + full);
        karatsuba(r + full, a + h, b + h, h, std::min(h, nb - h), ws + full);

        // a0 b1 + a1 b0 = lo + hi - (a0 - a1)(b0 - b1), which is below 2^(2h
        // limbs + 1), so one top bit suffices.
        Limb top = 0;
        if (negativeProduct) {
            top = Limbs::add(ws, ws, r, full);
            top += Limbs::add(ws, ws, r + full, full);
        } else {
            const Limb borrow = Limbs::sub(ws, r, ws, full);
            top = Limbs::add(ws, ws, r + full, full) - borrow;
        }
        const Limb carry = Limbs::add(r + h, r + h, ws, full);
        Limbs::addCarry(r + h + full, r + h + full, h, carry + top);
        if (n > full) {
            r[2 * full] = 0;
            r[2 * full + 1] = 0;
        }
    }
    if (n > full) {
        // The odd top limbs: a = A + at 2^(2h), b = B + bt 2^(2h).
        const Limb at = a[full];
        const Limb bt = b[full];
        Limb* top = r + 2 * full;
        DoubleLimb high = 0;
        if (at != 0) {
            high += Limbs::mulAddRow(r + full, b, full, at);
        }
        if (bt != 0) {
            high += Limbs::mulAddRow(r + full, a, full, bt);
        }
        high += DoubleLimb{top[0]} | (DoubleLimb{top[1]} << 32);
        high += static_cast<DoubleLimb>(at) * bt;
        top[0] = Limbs::low(high);
        top[1] = Limbs::high(high);
    }
}

// r[0, 2n) = a[0, n)^2; the same shape as karatsuba, where every product is a
// square and the middle term is never negative.
void karatsubaSquare(Limb* r, const Limb* a, int n, Limb* ws)
{
    if (n <= karatsubaThreshold) {
        Limbs::sqrBasecase(r, a, n);
        return;
    }
    const int h = n / 2;
    const int full = 2 * h;
    Limb* da = r;
    if (Limbs::compare(a, a + h, h) >= 0) {
        Limbs::sub(da, a, a + h, h);
    } else {
        Limbs::sub(da, a + h, a, h);
    }
    karatsubaSquare(ws, da, h, ws + full);
    karatsubaSquare(r, a, h, ws + full);
    karatsubaSquare(r + full, a + h, h, ws + full);
    const Limb borrow = Limbs::sub(ws, r, ws, full);
    const Limb top = Limbs::add(ws, ws, r + full, full) - borrow;
    const Limb carry = Limbs::add(r + h, r + h, ws, full);
    Limbs::addCarry(r + h + full, r + h + full, h, carry + top);
    if (n > full) {
        const Limb at = a[full];
        Limb* tail = r + 2 * full;
        DoubleLimb high = 0;
        if (at != 0) {
            high += Limbs::mulAddRow(r + full, a, full, at);
            high += Limbs::mulAddRow(r + full, a, full, at);
        }
        high += static_cast<DoubleLimb>(at) * at;
        tail[0] = Limbs::low(high);
        tail[1] = Limbs::high(high);
    }
}

void checkResultIsNotOperand(const BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    if (&r == &a || &r == &b) {
        throw ArithmeticException("Result must not be either Parameter (a or b)");
    }
}

} // namespace

namespace Limbs {

void mulBasecase(Limb* r, const Limb* a, int na, const Limb* b, int nb)
{
    // Whole words first; an odd limb of either operand is then added in as a
    // row of single-limb products.
    const int wa = na / wordLimbs;
    const int wb = nb / wordLimbs;
    if (wa == 0 || wb == 0) {
        clear(r, na + nb);
        for (int j = 0; j < nb; ++j) {
            r[na + j] = mulAddRow(r + j, a, na, b[j]);
        }
        return;
    }
    const int ea = wa * wordLimbs;
    const int eb = wb * wordLimbs;
    mulWords(r, a, wa, b, wb);
    clear(r + ea + eb, na + nb - ea - eb);
    if (na > ea) {
        r[ea + eb] = mulAddRow(r + ea, b, eb, a[ea]);
    }
    if (nb > eb) {
        r[na + eb] = mulAddRow(r + eb, a, na, b[eb]);
    }
}

void sqrBasecase(Limb* r, const Limb* a, int n)
{
    const int w = n / wordLimbs;
    const int e = w * wordLimbs;
    if (w == 0) {
        const DoubleLimb p = static_cast<DoubleLimb>(a[0]) * a[0];
        r[0] = low(p);
        r[1] = high(p);
        return;
    }
    sqrWords(r, a, w);
    if (n > e) {
        // a = A + t 2^(32e): add 2 t A 2^(32e) and t^2 2^(64e).
        const Limb t = a[e];
        const DoubleLimb square = static_cast<DoubleLimb>(t) * t;
        r[2 * e] = low(square);
        r[2 * e + 1] = high(square);
        for (int pass = 0; pass < 2; ++pass) {
            const Limb carry = mulAddRow(r + e, a, e, t);
            addCarry(r + 2 * e, r + 2 * e, 2, carry);
        }
    }
}

} // namespace Limbs

void mul(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
{
    checkResultIsNotOperand(r, a, b);
    const int na = a.used;
    const int nb = b.used;
    if (na == 0 || nb == 0) {
        setZero(r);
        return;
    }
    const bool negative = a.negative != b.negative;
    r.reserve(na + nb, false);
    if (&a == &b) {
        Limbs::sqrBasecase(r.limbs, a.limbs, na);
    } else {
        Limbs::mulBasecase(r.limbs, a.limbs, na, b.limbs, nb);
    }
    r.negative = negative;
    Limbs::setUsed(r, na + nb);
}

void mul(BigIntCore& r, const BigIntCore& a, const BigIntCore& b, BigIntScratch* scratch)
{
    checkResultIsNotOperand(r, a, b);
    const BigIntCore* longer = &a;
    const BigIntCore* shorter = &b;
    if (a.used < b.used) {
        std::swap(longer, shorter);
    }
    const int n = longer->used;
    const int ns = shorter->used;
    if (ns == 0 || n <= karatsubaThreshold) {
        mul(r, a, b);
        return;
    }
    // 2n limbs cover the recursion; a shorter operand is zero-extended into n
    // more in front of them.
    const std::size_t need = static_cast<std::size_t>(3 * n);
    BigIntScratch local;
    if (scratch == nullptr) {
        local.resize(need);
        scratch = &local;
    } else if (scratch->size() < need) {
        scratch->resize(need);
    }
    Limb* ws = scratch->data();
    const bool negative = a.negative != b.negative;
    r.reserve(2 * n, false);
    if (&a == &b) {
        karatsubaSquare(r.limbs, a.limbs, n, ws);
    } else {
        const Limb* y = shorter->limbs;
        if (ns < n) {
            Limbs::copyLimbs(ws, y, ns);
            Limbs::clear(ws + ns, n - ns);
            y = ws;
            ws += n;
        }
        karatsuba(r.limbs, longer->limbs, y, n, ns, ws);
    }
    r.negative = negative;
    Limbs::setUsed(r, 2 * n);
}

} // namespace LumenCryptMini
