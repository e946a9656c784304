// Bit-serial division and remainder, Stein's binary gcd (Handbook of Applied
// Cryptography 14.54), the Barrett reciprocal and the modular inverse by the
// extended Euclidean algorithm (HAC 2.107).

#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"
#include "crypt/BigIntLimbs.h"

#include <algorithm>
#include <bit>
#include <utility>

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

// Long division one bit at a time: rem holds a non-negative dividend and ends
// as |rem| mod |d|. The quotient bits go into quotient when it is given.
// d is non-zero and |rem| >= |d|.
void reduce(BigIntCore& rem, const BigIntCore& d, BigIntCore* quotient)
{
    const int shift = bitCount(rem) - bitCount(d);
    BigIntCore t;
    shiftLeft(t, d, shift);
    t.negative = false;
    if (quotient != nullptr) {
        const int count = shift / Limbs::limbBits + 1;
        quotient->reserve(count, false);
        Limbs::clear(quotient->limbs, count);
        quotient->used = static_cast<std::uint16_t>(count);
    }
    for (int bit = shift; bit >= 0; --bit) {
        if (cmpMagnitude(rem, t) >= 0) {
            Limbs::subMagnitudes(rem, rem, t);
            if (quotient != nullptr) {
                quotient->limbs[bit / Limbs::limbBits] |= Limb{1} << (bit % Limbs::limbBits);
            }
        }
        shiftRight(t, t, 1);
    }
    if (quotient != nullptr) {
        Limbs::trim(*quotient);
    }
}

} // namespace

void div(BigIntCore* q, BigIntCore* r, const BigIntCore& a, const BigIntCore& d)
{
    if (d.used == 0) {
        throw ArithmeticException("div: Divide by zero");
    }
    // A negative dividend never passes r >= t against the non-negative,
    // shifted divisor, so it also ends with q = 0 and r = a.
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
