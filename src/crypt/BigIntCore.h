#pragma once

#include "common/ByteString.h"
#include "common/SecureWipe.h"

#include <cstdint>
#include <vector>

namespace LumenCryptMini {

// Working limbs for the Karatsuba multiplication: 4n words for n-word
// operands (a word is two limbs where the compiler has a 128-bit integer
// type, else one). One area serves every multiplication of a modular
// exponentiation, so its loop does not allocate. An area too small for a
// product is grown. It holds partial products of secrets, so it is wiped when
// it grows or ends.
using BigIntScratch = std::vector<std::uint32_t, WipingAllocator<std::uint32_t>>;

// A sign-and-magnitude integer of 32-bit limbs, least significant limb first.
//
// Invariants: used <= capacity; when used > 0, limbs[used - 1] != 0 (every
// operation trims before it returns); zero has used == 0 and its sign flag is
// not relied on. used and capacity are 16-bit, so no number exceeds 65,535
// limbs; asking for more throws std::bad_alloc. Limbs between used and
// capacity hold no meaning.
//
// Storage: values of up to four limbs live in inlineLimbs. A heap block is
// always n + 16 limbs (at most 65,535) for a request of n, zero-filled, so
// that growing results rarely reallocate. A copy takes the source's capacity.
// Storage that is given up (a destroyed number, an outgrown block) is wiped.
class BigIntCore {
  public:
    BigIntCore() noexcept;
    BigIntCore(const BigIntCore& other);
    BigIntCore& operator=(const BigIntCore& other);
    virtual ~BigIntCore();

    // When n exceeds capacity, replaces the storage with a zero-filled heap
    // block of n + 16 limbs; keep preserves the used limbs, otherwise the
    // value becomes zero. Does nothing when n <= capacity.
    void reserve(int n, bool keep);

    std::uint32_t inlineLimbs[4];
    std::uint32_t* limbs;
    std::uint16_t capacity;
    std::uint16_t used;
    bool negative;
};

// The core functions take the result first. Unless a function says otherwise
// the result may be the same object as any operand. Every failure is an
// ArithmeticException; the result is then in an unspecified state.

void setZero(BigIntCore& r);
void setOne(BigIntCore& r);
void copy(BigIntCore& r, const BigIntCore& a);

// Bits of the magnitude: 32 * (used - 1) plus the length of the top limb.
int bitCount(const BigIntCore& a);
// False for n < 0 or n beyond the used limbs.
bool testBit(const BigIntCore& a, int n);
// Only within the used limbs: never grows a number, so zero stays zero.
void setBit(BigIntCore& a, int n);

// -1, 0 or 1. More used limbs is larger.
int cmpMagnitude(const BigIntCore& a, const BigIntCore& b);
int cmp(const BigIntCore& a, const BigIntCore& b);

void add(BigIntCore& r, const BigIntCore& a, const BigIntCore& b);
void sub(BigIntCore& r, const BigIntCore& a, const BigIntCore& b);

// |r| = |a| * 2^n; r keeps its own sign flag. A negative n counts as 0.
void shiftLeft(BigIntCore& r, const BigIntCore& a, int n);
// |r| = floor(|a| / 2^n); r keeps its own sign flag. A negative n counts as 0.
void shiftRight(BigIntCore& r, const BigIntCore& a, int n);

// Schoolbook. r must be neither a nor b ("Result must not be either Parameter
// (a or b)"); a and b may be the same object, which squares.
void mul(BigIntCore& r, const BigIntCore& a, const BigIntCore& b);
// Karatsuba above 16 words, same value and aliasing rule. scratch may be null;
// then one area is allocated for the call.
void mul(BigIntCore& r, const BigIntCore& a, const BigIntCore& b, BigIntScratch* scratch);

// Long division (Knuth, TAOCP vol. 2, 4.3.1, Algorithm D); q or r may be
// null, and either may be any operand. The quotient's sign is the exclusive
// or of the signs and the remainder is |a| mod |d|, but a dividend below d,
// or negative at all, gives q = 0 and r = a. Throws "div: Divide by zero".
void div(BigIntCore* q, BigIntCore* r, const BigIntCore& a, const BigIntCore& d);
// r = a mod m, in [0, m) also for negative a and positive m; a zero m gives
// r = a. r must not be m ("Result must not be the same object as m").
void mod(BigIntCore& r, const BigIntCore& a, const BigIntCore& m);
// Stein's binary gcd of non-negative a and b; gcd(0, x) = x.
void gcd(BigIntCore& r, const BigIntCore& a, const BigIntCore& b);

// r = floor(2^(2n) / m) with n = bitCount(m); returns n + 1, the recipBits to
// pass with r. Throws "div: Divide by zero" for m = 0.
int makeRecip(BigIntCore& r, const BigIntCore& m);
// r = a * b mod m by Barrett reduction (Handbook of Applied Cryptography
// 14.42, both shifts by k = recipBits - 1 bits). For 0 <= a, b < m the
// estimate falls short by at most three; a remainder still >= m after three
// corrections throws "modMulRecip". r may be a, b or both. scratch may be null.
void modMulRecip(BigIntCore& r, const BigIntCore& a, const BigIntCore& b, const BigIntCore& m,
                 const BigIntCore& recip, std::int16_t recipBits, BigIntScratch* scratch);
// r = a^e mod m, right-to-left square-and-multiply. A negative e inverts the
// result with inverseModN. r may be a. Variable-time: it multiplies only for
// the exponent's one bits and stops at its highest one, so its running time
// tells the exponent's length and weight to whoever can time it.
void modExp(BigIntCore& r, const BigIntCore& a, const BigIntCore& e, const BigIntCore& m,
            const BigIntCore& recip, std::int16_t recipBits);
// The inverse of a modulo m by the extended Euclidean algorithm, in [0, m).
// a and m are assumed coprime and not checked. Throws "inverseModN" when a or
// m is negative.
void inverseModN(BigIntCore& r, const BigIntCore& a, const BigIntCore& m);

// Big-endian unsigned bytes; no sign byte, so FF is 255. Empty gives zero.
void fromBytes(BigIntCore& r, const ByteString& bytes);
// Minimal big-endian magnitude, with a 0x00 in front when a non-negative
// number's first byte has its top bit set. Zero gives no bytes; a negative
// number writes its magnitude only.
void toBytes(const BigIntCore& a, ByteString& bytes);

} // namespace LumenCryptMini
