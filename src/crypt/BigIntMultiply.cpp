// Schoolbook multiplication by product scanning (Comba; Handbook of Applied
// Cryptography 14.12 and 14.16 for squaring) and Karatsuba's method (Knuth,
// TAOCP vol. 2, 4.3.3) above 16 limbs.

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace LumenCryptMini {

using Limbs::DoubleLimb;
using Limbs::Limb;

namespace {

constexpr int karatsubaThreshold = 16;

using Limbs::DoubleWord;
using Limbs::loadWord;
using Limbs::storeWord;
using Limbs::Word;
using Limbs::wordBits;
using Limbs::wordLimbs;

// Basecase operands of up to this many words (16 limbs) get a product with
// every loop unrolled at compile time.
constexpr int maxFixedWords = karatsubaThreshold / wordLimbs;
// From this odd length on, a product padded to whole words beats the rows of
// single-limb products that the odd limb otherwise costs (measured with the
// modExp benchmark; shorter ones lose to the extra products of the padding).
constexpr int minPaddedLimbs = 13;

// Three-word column accumulator of the product-scanning (Comba) basecase.
struct Column {
    Word c0 = 0;
    Word c1 = 0;
    Word c2 = 0;

    void multiplyAdd(Word x, Word y)
    {
        const DoubleWord p = static_cast<DoubleWord>(x) * y;
        const DoubleWord s = ((static_cast<DoubleWord>(c1) << wordBits) | c0) + p;
        c2 += s < p ? 1 : 0;
        c0 = static_cast<Word>(s);
        c1 = static_cast<Word>(s >> wordBits);
    }

    void add(Word lowWord, Word highWord)
    {
        const DoubleWord v = (static_cast<DoubleWord>(highWord) << wordBits) | lowWord;
        const DoubleWord s = ((static_cast<DoubleWord>(c1) << wordBits) | c0) + v;
        c2 += s < v ? 1 : 0;
        c0 = static_cast<Word>(s);
        c1 = static_cast<Word>(s >> wordBits);
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

// r[0, wordLimbs * (wa + wb)) = a * b over wa and wb words, for any sizes.
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

// The same two products for a size known at compile time: the index
// sequences unroll every column, so the accumulator stays in registers and
// each word is loaded straight from the operand where it is needed.
template <int N> struct Fixed {
    static Word word(const Limb* a, int i) { return loadWord(a + wordLimbs * i); }

    template <int K, int I> static void term(Column& column, const Limb* a, const Limb* b)
    {
        if constexpr (I <= K && K - I < N) {
            column.multiplyAdd(word(a, I), word(b, K - I));
        }
    }

    template <int K, int I> static void crossTerm(Column& column, const Limb* a)
    {
        if constexpr (K - I < N && I < K - I) {
            column.multiplyAdd(word(a, I), word(a, K - I));
        }
    }

    template <int K, int... I>
    static void mulColumn(Column& column, const Limb* a, const Limb* b,
                          std::integer_sequence<int, I...>)
    {
        (term<K, I>(column, a, b), ...);
    }

    template <int... K>
    static void mulColumns(Limb* r, const Limb* a, const Limb* b, std::integer_sequence<int, K...>)
    {
        Column column;
        ((mulColumn<K>(column, a, b, std::make_integer_sequence<int, N>{}),
          storeWord(r + wordLimbs * K, column.next())),
         ...);
        storeWord(r + wordLimbs * (2 * N - 1), column.next());
    }

    template <int K, int... I>
    static void sqrColumn(Limb* r, Word& carry0, Word& carry1, const Limb* a,
                          std::integer_sequence<int, I...>)
    {
        Column column;
        (crossTerm<K, I>(column, a), ...);
        column.doubleIt();
        if constexpr (K % 2 == 0) {
            const Word d = word(a, K / 2);
            column.multiplyAdd(d, d);
        }
        column.add(carry0, carry1);
        storeWord(r + wordLimbs * K, column.next());
        carry0 = column.c0;
        carry1 = column.c1;
    }

    template <int... K>
    static void sqrColumns(Limb* r, const Limb* a, std::integer_sequence<int, K...>)
    {
        Word carry0 = 0;
        Word carry1 = 0;
        (sqrColumn<K>(r, carry0, carry1, a, std::make_integer_sequence<int, N>{}), ...);
        storeWord(r + wordLimbs * (2 * N - 1), carry0);
    }

    static void mul(Limb* r, const Limb* a, const Limb* b)
    {
        mulColumns(r, a, b, std::make_integer_sequence<int, 2 * N - 1>{});
    }

    static void sqr(Limb* r, const Limb* a)
    {
        sqrColumns(r, a, std::make_integer_sequence<int, 2 * N - 1>{});
    }
};

using MulKernel = void (*)(Limb*, const Limb*, const Limb*);
using SqrKernel = void (*)(Limb*, const Limb*);

template <int... N>
constexpr std::array<MulKernel, sizeof...(N) + 1> mulKernelTable(std::integer_sequence<int, N...>)
{
    return {nullptr, &Fixed<N + 1>::mul...};
}

template <int... N>
constexpr std::array<SqrKernel, sizeof...(N) + 1> sqrKernelTable(std::integer_sequence<int, N...>)
{
    return {nullptr, &Fixed<N + 1>::sqr...};
}

constexpr auto mulKernels = mulKernelTable(std::make_integer_sequence<int, maxFixedWords>{});
constexpr auto sqrKernels = sqrKernelTable(std::make_integer_sequence<int, maxFixedWords>{});

// With r = L0 L1 H0 H1 (h limbs each: lo = L0 + L1 B^h, hi = H0 + H1 B^h)
// and d = D0 + D1 B^h, adds lo + hi - d (or + d) at limb h of r in one pass:
// L1 takes L0 + H0 -+ D0 and H0 takes L1 + H1 -+ D1, two carry chains that
// run side by side. A subtraction adds the complement of d plus one and
// gives the one back at the top of each half. Each half then carries into
// the limbs above it; the sum fits r, so those carries end inside it.
//
// The chains run on words, and an odd last limb of the halves on a limb: a
// carry is a count of overflows, the same in either unit.
template <typename Unit> struct MiddleSum {
    Unit lowCarry;
    Unit highCarry;

    // sum = x + y + z + w + carry, with the overflows counted in carry.
    static Unit add4(Unit x, Unit y, Unit z, Unit w, Unit& carry)
    {
        Unit count = 0;
        const Unit s1 = x + y;
        count += s1 < x ? 1 : 0;
        const Unit s2 = s1 + z;
        count += s2 < s1 ? 1 : 0;
        const Unit s3 = s2 + w;
        count += s3 < s2 ? 1 : 0;
        const Unit s4 = s3 + carry;
        count += s4 < s3 ? 1 : 0;
        carry = count;
        return s4;
    }

    template <Unit (*load)(const Limb*), void (*store)(Limb*, Unit)>
    void run(Limb* r, const Limb* d, int h, int from, int to, Unit flip)
    {
        constexpr int unitLimbs = static_cast<int>(sizeof(Unit) / sizeof(Limb));
        Limb* l1 = r + h;
        Limb* h0 = r + 2 * h;
        const Limb* h1 = r + 3 * h;
        const Limb* d1 = d + h;
        for (int i = from; i < to; i += unitLimbs) {
            const Unit oldL1 = load(l1 + i);
            const Unit oldH0 = load(h0 + i);
            const Unit low = add4(load(r + i), oldH0, load(d + i) ^ flip, oldL1, lowCarry);
            const Unit high = add4(oldL1, load(h1 + i), load(d1 + i) ^ flip, oldH0, highCarry);
            store(l1 + i, low);
            store(h0 + i, high);
        }
    }
};

inline Limb loadLimb(const Limb* p)
{
    return *p;
}

inline void storeLimb(Limb* p, Limb v)
{
    *p = v;
}

template <bool subtract> void addMiddle(Limb* r, const Limb* d, int h)
{
    constexpr Word taken = subtract ? 1 : 0;
    MiddleSum<Word> words{taken, taken};
    const int wordPart = h - h % wordLimbs;
    words.run<loadWord, storeWord>(r, d, h, 0, wordPart, subtract ? ~Word{0} : Word{0});
    MiddleSum<Limb> limbs{static_cast<Limb>(words.lowCarry), static_cast<Limb>(words.highCarry)};
    limbs.run<loadLimb, storeLimb>(r, d, h, wordPart, h, subtract ? ~Limb{0} : Limb{0});
    const Limb carries[2] = {limbs.lowCarry, limbs.highCarry};
    for (int half = 0; half < 2; ++half) {
        Limb* at = r + (2 + half) * h;
        const int length = (2 - half) * h;
        if (carries[half] > taken) {
            Limbs::addCarry(at, at, length, static_cast<Limb>(carries[half] - taken));
        } else if (carries[half] < taken) {
            Limbs::subBorrow(at, at, length, 1);
        }
    }
}

// r[0, 2n) = a[0, n) * b[0, n) with b[nb, n) zero, 1 <= nb <= n. Of those
// zero limbs only an odd top one may be missing from b's storage; the rest
// must be there. ws holds at least 2 * floor(n / 2) limbs per level of
// recursion (2n in all). r, a, b and ws do not overlap.
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

        // a0 b1 + a1 b0 = lo + hi - (a0 - a1)(b0 - b1).
        if (negativeProduct) {
            addMiddle<false>(r, ws, h);
        } else {
            addMiddle<true>(r, ws, h);
        }
        if (n > full) {
            r[2 * full] = 0;
            r[2 * full + 1] = 0;
        }
    }
    if (n > full) {
        // The odd top limbs: a = A + at 2^(2h), b = B + bt 2^(2h).
        const Limb at = a[full];
        const Limb bt = nb > full ? b[full] : 0;
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
    addMiddle<true>(r, ws, h);
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
    const int wa = na / wordLimbs;
    const int wb = nb / wordLimbs;
    const int paddedWords = (na + wordLimbs - 1) / wordLimbs;
    if (wordLimbs > 1 && na >= minPaddedLimbs && (na != wa * wordLimbs || nb != wb * wordLimbs) &&
        paddedWords == (nb + wordLimbs - 1) / wordLimbs && paddedWords <= maxFixedWords) {
        // Odd sizes of about equal length, as Karatsuba's halves of odd
        // lengths are: a copy padded with a zero limb runs the unrolled
        // kernel instead of whole words plus rows of single-limb products.
        std::array<Limb, karatsubaThreshold> x{};
        std::array<Limb, karatsubaThreshold> y{};
        std::array<Limb, 2 * karatsubaThreshold> product;
        copyLimbs(x.data(), a, na);
        copyLimbs(y.data(), b, nb);
        mulKernels[static_cast<std::size_t>(paddedWords)](product.data(), x.data(), y.data());
        copyLimbs(r, product.data(), na + nb);
        return;
    }
    // Whole words first; an odd limb of either operand is then added in as a
    // row of single-limb products.
    if (wa == 0 || wb == 0) {
        clear(r, na + nb);
        for (int j = 0; j < nb; ++j) {
            r[na + j] = mulAddRow(r + j, a, na, b[j]);
        }
        return;
    }
    const int ea = wa * wordLimbs;
    const int eb = wb * wordLimbs;
    if (wa == wb && wa <= maxFixedWords) {
        mulKernels[static_cast<std::size_t>(wa)](r, a, b);
    } else {
        mulWords(r, a, wa, b, wb);
    }
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
    if (n >= minPaddedLimbs && n > e && w < maxFixedWords) {
        // As in mulBasecase: padded with a zero limb, an odd length squares
        // in the unrolled kernel.
        std::array<Limb, karatsubaThreshold> x{};
        std::array<Limb, 2 * karatsubaThreshold> square;
        copyLimbs(x.data(), a, n);
        sqrKernels[static_cast<std::size_t>(w + 1)](square.data(), x.data());
        copyLimbs(r, square.data(), 2 * n);
        return;
    }
    if (w == 0) {
        const DoubleLimb p = static_cast<DoubleLimb>(a[0]) * a[0];
        r[0] = low(p);
        r[1] = high(p);
        return;
    }
    if (w <= maxFixedWords) {
        sqrKernels[static_cast<std::size_t>(w)](r, a);
    } else {
        sqrWords(r, a, w);
    }
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
        if (ns < 2 * (n / 2)) {
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
