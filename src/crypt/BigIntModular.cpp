// Barrett multiplication (Handbook of Applied Cryptography 14.42) and
// right-to-left binary exponentiation (HAC 14.76).

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <cstddef>

namespace LumenCryptMini {

namespace {

constexpr int maxCorrections = 3;
constexpr int scratchLimbsPerModulusLimb = 6;

// One modulus with its reciprocal, and the temporaries of a reduction, which
// are kept so that a run of multiplications allocates only on its first.
class Barrett {
  public:
    Barrett(const BigIntCore& modulus, const BigIntCore& reciprocal, std::int16_t recipBits,
            BigIntScratch* area)
        : m(modulus), recip(reciprocal), k(recipBits > 0 ? recipBits - 1 : 0), scratch(area)
    {
    }

    // Sizes the temporaries for operands below m.
    void reserve()
    {
        const int n = m.used + 1;
        x.reserve(2 * n, false);
        t.reserve(2 * n, false);
        u.reserve(2 * n, false);
    }

    // r = a b mod m; r may be a or b, but neither m nor recip.
    void multiply(BigIntCore& r, const BigIntCore& a, const BigIntCore& b)
    {
        mul(x, a, b, scratch);
        // q = floor(floor(x / 2^k) recip / 2^k) never exceeds floor(x / m), and
        // for x < m^2 falls short of it by at most three.
        shiftRight(t, x, k);
        mul(u, t, recip, scratch);
        shiftRight(t, u, k);
        mul(u, t, m, scratch);
        subtract(r);
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

  private:
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
    BigIntCore x;
    BigIntCore t;
    BigIntCore u;
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

    BigIntScratch scratch(static_cast<std::size_t>(scratchLimbsPerModulusLimb * m.used));
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
