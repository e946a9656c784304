// Schoolbook multiplication by product scanning (Comba; Handbook of Applied
// Cryptography 14.12, and 14.16 for squaring), in square blocks of up to
// sixteen words whose products are unrolled at compile time: the column
// accumulator stays in registers and every word is loaded straight from its
// operand. A product of any size is a grid of such blocks.

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace LumenCryptMini {

using Limbs::DoubleLimb;
using Limbs::DoubleWord;
using Limbs::Limb;
using Limbs::loadWord;
using Limbs::storeWord;
using Limbs::Word;
using Limbs::wordBits;
using Limbs::wordLimbs;

namespace {

constexpr int maxBlockWords = 16;

// Three-word column accumulator.
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

// The products of two N-word blocks, added to the words of r: column K of
// the block is word K + shift of r. Column 2N - 1 has no partial products
// and takes the carry of the columns below. Every column is forced inline:
// a compiler that calls the larger ones passes the accumulator through
// memory instead.
template <int N> struct Block {
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
    [[gnu::always_inline]] static void mulColumn(Limb* r, std::ptrdiff_t shift, Column& column,
                                                 const Limb* a, const Limb* b, int from, int to,
                                                 std::integer_sequence<int, I...>)
    {
        if (K >= from && K < to) {
            Limb* target = r + wordLimbs * (K + shift);
            column.add(loadWord(target), 0);
            (term<K, I>(column, a, b), ...);
            storeWord(target, column.next());
        }
    }

    template <int... K>
    static DoubleWord mulColumns(Limb* r, std::ptrdiff_t shift, const Limb* a, const Limb* b,
                                 int from, int to, std::integer_sequence<int, K...>)
    {
        Column column;
        (mulColumn<K>(r, shift, column, a, b, from, to, std::make_integer_sequence<int, N>{}), ...);
        return (static_cast<DoubleWord>(column.c1) << wordBits) | column.c0;
    }

    template <int K, int... I>
    [[gnu::always_inline]] static void sqrColumn(Limb* r, Word& carry0, Word& carry1, const Limb* a,
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

    // Adds the column sums of a * b for the columns [from, to) to r and
    // returns what carries out of column to - 1.
    static DoubleWord mulAdd(Limb* r, std::ptrdiff_t shift, const Limb* a, const Limb* b, int from,
                             int to)
    {
        return mulColumns(r, shift, a, b, from, to, std::make_integer_sequence<int, 2 * N>{});
    }

    // r[0, 2N) words = a^2: per column the products a_i a_j with i < j
    // once, doubled, and the square on the diagonal (HAC 14.16).
    static void sqr(Limb* r, const Limb* a)
    {
        sqrColumns(r, a, std::make_integer_sequence<int, 2 * N - 1>{});
    }
};

using MulKernel = DoubleWord (*)(Limb*, std::ptrdiff_t, const Limb*, const Limb*, int, int);
using SqrKernel = void (*)(Limb*, const Limb*);

template <int... N>
constexpr std::array<MulKernel, sizeof...(N) + 1> mulKernelTable(std::integer_sequence<int, N...>)
{
    return {nullptr, &Block<N + 1>::mulAdd...};
}

template <int... N>
constexpr std::array<SqrKernel, sizeof...(N) + 1> sqrKernelTable(std::integer_sequence<int, N...>)
{
    return {nullptr, &Block<N + 1>::sqr...};
}

constexpr auto mulKernels = mulKernelTable(std::make_integer_sequence<int, maxBlockWords>{});
constexpr auto sqrKernels = sqrKernelTable(std::make_integer_sequence<int, maxBlockWords>{});

// The block size for a grid over n words: as few blocks as the kernels allow,
// as even as they can be, so that the last one is padded least.
int blockWords(int n)
{
    const int blocks = (n + maxBlockWords - 1) / maxBlockWords;
    return (n + blocks - 1) / blocks;
}

// An operand of n words cut into blocks of `size` words. A last block that the
// operand does not fill is read from a copy padded with zeros, except a last
// block of a single word: that word is left to a row of single-word products,
// which costs far less than a block of padding.
class Blocks {
  public:
    Blocks(const Limb* words, int n, int size) : data(words), blockSize(size)
    {
        count = (n + size - 1) / size;
        if (count > 1 && n % size == 1) {
            --count;
            tail = n - 1;
        }
        const int filled = size * (count - 1);
        if (tail < 0 && n - filled < size) {
            padded.fill(0);
            Limbs::copyLimbs(padded.data(), data + wordLimbs * filled, wordLimbs * (n - filled));
            lastIsPadded = true;
        }
    }

    const Limb* block(int i) const
    {
        return lastIsPadded && i == count - 1 ? padded.data() : data + wordLimbs * blockSize * i;
    }
    int blocks() const { return count; }
    // The word left to a row, or -1.
    int tailWord() const { return tail; }

  private:
    const Limb* data;
    int blockSize;
    int count = 0;
    int tail = -1;
    bool lastIsPadded = false;
    std::array<Limb, wordLimbs * maxBlockWords> padded;
};

// r[at, length) words += carry (two words); what carries beyond r's end is
// dropped.
void addCarryAt(Limb* r, int length, int at, DoubleWord carry)
{
    for (int i = at; i < length && carry != 0; ++i) {
        const DoubleWord sum = carry + loadWord(r + wordLimbs * i);
        storeWord(r + wordLimbs * i, static_cast<Word>(sum));
        carry = sum >> wordBits;
    }
}

// r[at, length) words += p[0, count) words, as far as r goes.
void addAt(Limb* r, int length, int at, const Limb* p, int count)
{
    count = std::min(count, length - at);
    if (count > 0) {
        Limb* target = r + wordLimbs * at;
        addCarryAt(r, length, at + count, Limbs::add(target, target, p, wordLimbs * count));
    }
}

// The columns [from, from + length) in r += w * b[0, n) placed at column
// `offset`; the carry stops at r's end.
void addRow(Limb* r, int length, int from, int offset, const Limb* b, int n, Word w)
{
    const int first = std::max(0, from - offset);
    const int last = std::min(n, from + length - offset);
    if (first >= last) {
        return;
    }
    const int at = offset + first - from;
    Limb* target = r + wordLimbs * at;
    const Limb* source = b + wordLimbs * first;
    // The top word of a Barrett reciprocal, and of its quotients, is mostly 0
    // or 1.
    if (w == 1) {
        addCarryAt(r, length, at + last - first,
                   Limbs::add(target, target, source, wordLimbs * (last - first)));
    } else if (w != 0) {
        addCarryAt(r, length, at + last - first,
                   Limbs::mulAddWordRow(target, source, last - first, w));
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

Word mulAddWordRow(Limb* r, const Limb* a, int n, Word b)
{
    Word carry = 0;
    for (int i = 0; i < n; ++i) {
        const DoubleWord s = static_cast<DoubleWord>(loadWord(a + wordLimbs * i)) * b +
                             loadWord(r + wordLimbs * i) + carry;
        storeWord(r + wordLimbs * i, static_cast<Word>(s));
        carry = static_cast<Word>(s >> wordBits);
    }
    return carry;
}

void mulColumns(Limb* r, const Limb* a, int wa, const Limb* b, int wb, int from, int to)
{
    const int size = blockWords(std::min(wa, wb));
    const MulKernel kernel = mulKernels[static_cast<std::size_t>(size)];
    const int length = to - from;
    clear(r, wordLimbs * length);
    if (wa == size && wb == size) {
        kernel(r, -from, a, b, from, to);
        return;
    }
    if (std::max(wa, wb) == size + 1 && std::min(wa, wb) == size) {
        // One block and a single word beyond it, as a Barrett reciprocal and
        // its quotients have.
        const bool aLonger = wa > wb;
        const Limb* x = aLonger ? a : b;
        const Limb* y = aLonger ? b : a;
        if (from < 2 * size) {
            const int high = std::min(to, 2 * size);
            addCarryAt(r, length, high - from, kernel(r, -from, x, y, from, high));
        }
        addRow(r, length, from, size, y, size, loadWord(x + wordLimbs * size));
        return;
    }
    const Blocks x(a, wa, size);
    const Blocks y(b, wb, size);
    for (int i = 0; i < x.blocks(); ++i) {
        for (int j = 0; j < y.blocks(); ++j) {
            const int offset = size * (i + j);
            const int low = std::max(from, offset);
            const int high = std::min(to, offset + 2 * size);
            if (low < high) {
                const DoubleWord carry =
                    kernel(r, offset - from, x.block(i), y.block(j), low - offset, high - offset);
                addCarryAt(r, length, high - from, carry);
            }
        }
    }
    // a = A + s W^ta and b = B + t W^tb with single-word tails s and t:
    // s b W^ta and t A W^tb complete the product.
    if (x.tailWord() >= 0) {
        addRow(r, length, from, x.tailWord(), b, wb, loadWord(a + wordLimbs * x.tailWord()));
    }
    if (y.tailWord() >= 0) {
        const int aWords = x.tailWord() >= 0 ? x.tailWord() : wa;
        addRow(r, length, from, y.tailWord(), a, aWords, loadWord(b + wordLimbs * y.tailWord()));
    }
}

void sqrColumns(Limb* r, const Limb* a, int n)
{
    if (n <= maxBlockWords) {
        sqrKernels[static_cast<std::size_t>(n)](r, a);
        return;
    }
    // The products of distinct blocks once, doubled, then the blocks'
    // squares on the diagonal.
    const int size = blockWords(n);
    const MulKernel kernel = mulKernels[static_cast<std::size_t>(size)];
    const int length = 2 * n;
    clear(r, wordLimbs * length);
    const Blocks x(a, n, size);
    for (int i = 0; i < x.blocks(); ++i) {
        for (int j = i + 1; j < x.blocks(); ++j) {
            const int offset = size * (i + j);
            const int high = std::min(length, offset + 2 * size);
            addCarryAt(r, length, high,
                       kernel(r, offset, x.block(i), x.block(j), 0, high - offset));
        }
    }
    const int tail = x.tailWord();
    if (tail >= 0) {
        addRow(r, length, 0, tail, a, tail, loadWord(a + wordLimbs * tail));
    }
    add(r, r, r, wordLimbs * length);
    std::array<Limb, 2 * wordLimbs * maxBlockWords> square;
    for (int i = 0; i < x.blocks(); ++i) {
        sqrKernels[static_cast<std::size_t>(size)](square.data(), x.block(i));
        addAt(r, length, 2 * size * i, square.data(), 2 * size);
    }
    if (tail >= 0) {
        const Word t = loadWord(a + wordLimbs * tail);
        addCarryAt(r, length, 2 * tail, static_cast<DoubleWord>(t) * t);
    }
}

void mulBasecase(Limb* r, const Limb* a, int na, const Limb* b, int nb)
{
    // Whole words first; an odd limb of either operand is then added in as a
    // row of single-limb products.
    const int wa = na / wordLimbs;
    const int wb = nb / wordLimbs;
    const int ea = wa * wordLimbs;
    const int eb = wb * wordLimbs;
    if (wa == 0 || wb == 0) {
        clear(r, na + nb);
        for (int j = 0; j < nb; ++j) {
            r[na + j] = mulAddRow(r + j, a, na, b[j]);
        }
        return;
    }
    mulColumns(r, a, wa, b, wb, 0, wa + wb);
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
    sqrColumns(r, a, w);
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

} // namespace LumenCryptMini
