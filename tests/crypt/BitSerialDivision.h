#pragma once

// The long division one bit at a time that div, mod and makeRecip used before
// Algorithm D, kept as the reference they must agree with: the same values,
// signs, aliasing and exceptions, including the odd ones (a negative dividend
// is not divided; a zero modulus leaves mod's operand as it is).

#include "crypt/BigIntCore.h"

namespace BitSerial {

using LumenCryptMini::BigIntCore;

void div(BigIntCore* q, BigIntCore* r, const BigIntCore& a, const BigIntCore& d);
void mod(BigIntCore& r, const BigIntCore& a, const BigIntCore& m);
int makeRecip(BigIntCore& r, const BigIntCore& m);

} // namespace BitSerial
