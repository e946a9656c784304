#include "BitSerialDivision.h"

#include "common/ArithmeticException.h"
#include "crypt/BigIntLimbs.h"

namespace BitSerial {

using namespace LumenCryptMini;
using Limbs::Limb;

namespace {

bool isNegative(const BigIntCore& a)
{
    return a.negative && a.used > 0;
}

// rem holds a non-negative dividend and ends as |rem| mod |d|; the quotient
// bits go into quotient when it is given.
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

int makeRecip(BigIntCore& r, const BigIntCore& m)
{
    const int n = bitCount(m);
    BigIntCore power;
    const int top = (2 * n) / Limbs::limbBits;
    power.reserve(top + 1, false);
    Limbs::clear(power.limbs, top + 1);
    power.limbs[top] = Limb{1} << ((2 * n) % Limbs::limbBits);
    power.used = static_cast<std::uint16_t>(top + 1);
    BitSerial::div(&r, nullptr, power, m);
    return n + 1;
}

} // namespace BitSerial
