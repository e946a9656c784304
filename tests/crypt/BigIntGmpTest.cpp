// Every core function against GMP on random operands of 0 to 70 limbs, with
// sizes around the Karatsuba threshold and carry-heavy limb patterns; the
// division and the moduli at every size up to 80 limbs.

#include "BigIntOperands.h"
#include "common/ArithmeticException.h"
#include "crypt/BigIntCore.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace LumenCryptMini;

namespace {

struct Mpz {
    mpz_t v;
    Mpz() { mpz_init(v); }
    Mpz(const Mpz&) = delete;
    ~Mpz() { mpz_clear(v); }
    operator mpz_ptr() { return v; }
};

void toMpz(mpz_t out, const BigIntCore& a)
{
    mpz_import(out, a.used, -1, sizeof(std::uint32_t), 0, 0, a.limbs);
    if (a.negative) {
        mpz_neg(out, out);
    }
}

void fromMpz(BigIntCore& r, const mpz_t a)
{
    const size_t count = (mpz_sizeinbase(a, 2) + 31) / 32;
    r.reserve(static_cast<int>(count), false);
    size_t written = 0;
    mpz_export(r.limbs, &written, -1, sizeof(std::uint32_t), 0, 0, a);
    r.used = static_cast<std::uint16_t>(written);
    r.negative = mpz_sgn(a) < 0;
}

// The value must match and the number must be trimmed.
::testing::AssertionResult same(const BigIntCore& a, const mpz_t expected)
{
    Mpz got;
    toMpz(got, a);
    if (a.used > 0 && a.limbs[a.used - 1] == 0) {
        return ::testing::AssertionFailure() << "untrimmed top limb";
    }
    if (mpz_cmp(got, expected) != 0) {
        return ::testing::AssertionFailure() << "got " << mpz_get_str(nullptr, 16, got) << "\nwant "
                                             << mpz_get_str(nullptr, 16, expected);
    }
    return ::testing::AssertionSuccess();
}

// makeRecip(m) against floor(2^(2n) / m) with n the bit count of m, mm being
// m as GMP holds it; the recipBits it returned.
int expectReciprocal(BigIntCore& recip, const BigIntCore& m, const mpz_t mm,
                     const std::string& where)
{
    const int recipBits = makeRecip(recip, m);
    const auto n = mpz_sizeinbase(mm, 2);
    EXPECT_EQ(recipBits, static_cast<int>(n) + 1) << where;
    Mpz want;
    mpz_ui_pow_ui(want, 2, static_cast<unsigned long>(2 * n));
    mpz_fdiv_q(want, want, mm);
    EXPECT_TRUE(same(recip, want)) << "makeRecip " << where;
    return recipBits;
}

const std::vector<int> sizes = {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 34, 47, 64, 65, 70};

TEST(BigIntGmpTest, RingOperationsAndShifts)
{
    Operands gen;
    BigIntScratch scratch;
    for (const int na : sizes) {
        for (const int nb : sizes) {
            BigIntCore a, b, r;
            gen.make(a, na, gen.next() % 2);
            gen.make(b, nb, gen.next() % 2);
            Mpz ma, mb, want;
            toMpz(ma, a);
            toMpz(mb, b);
            const std::string where = std::to_string(na) + "x" + std::to_string(nb);

            add(r, a, b);
            mpz_add(want, ma, mb);
            EXPECT_TRUE(same(r, want)) << "add " << where;
            BigIntCore alias = a;
            add(alias, alias, b);
            EXPECT_TRUE(same(alias, want)) << "add r=a " << where;
            sub(r, a, b);
            mpz_sub(want, ma, mb);
            EXPECT_TRUE(same(r, want)) << "sub " << where;
            alias = b;
            sub(alias, a, alias);
            EXPECT_TRUE(same(alias, want)) << "sub r=b " << where;

            mpz_mul(want, ma, mb);
            mul(r, a, b);
            EXPECT_TRUE(same(r, want)) << "mul " << where;
            mul(r, a, b, nullptr);
            EXPECT_TRUE(same(r, want)) << "karatsuba " << where;
            mul(r, b, a, &scratch);
            EXPECT_TRUE(same(r, want)) << "karatsuba with scratch " << where;

            const int shift = static_cast<int>(gen.next() % 200);
            BigIntCore shifted;
            shiftLeft(shifted, a, shift);
            mpz_mul_2exp(want, ma, static_cast<mp_bitcnt_t>(shift));
            mpz_abs(want, want);
            EXPECT_TRUE(same(shifted, want)) << "shiftLeft " << shift << " " << where;
            shiftRight(shifted, shifted, shift + nb);
            mpz_abs(want, ma);
            mpz_fdiv_q_2exp(want, want, static_cast<mp_bitcnt_t>(nb));
            EXPECT_TRUE(same(shifted, want)) << "shiftRight " << where;
        }
        BigIntCore a, r;
        gen.make(a, na, true);
        Mpz ma, want;
        toMpz(ma, a);
        mpz_mul(want, ma, ma);
        mul(r, a, a);
        EXPECT_TRUE(same(r, want)) << "square " << na;
        mul(r, a, a, &scratch);
        EXPECT_TRUE(same(r, want)) << "karatsuba square " << na;
    }
}

// Dividends and divisors of every size from 0 to 80 limbs, the divisor's top
// limb also 0x80000000 and 0xFFFFFFFF, where Algorithm D's normalising and
// estimate are most easily wrong.
TEST(BigIntGmpTest, DivisionAndRemainderAtEverySize)
{
    Operands gen;
    const std::uint32_t tops[] = {0, 0x80000000, 0xFFFFFFFF};
    for (int na = 0; na <= 80; ++na) {
        for (int nd = 0; nd <= 80; ++nd) {
            BigIntCore a, d, q, r;
            gen.make(a, na);
            gen.make(d, nd, gen.next() % 4 == 0);
            setTopLimb(d, tops[(na + nd) % 3]);
            const std::string where = std::to_string(na) + "/" + std::to_string(nd);
            if (nd == 0) {
                EXPECT_THROW(div(&q, &r, a, d), ArithmeticException) << where;
                continue;
            }
            Mpz ma, md, wantQ, wantR;
            toMpz(ma, a);
            toMpz(md, d);
            mpz_tdiv_qr(wantQ, wantR, ma, md);
            div(&q, &r, a, d);
            EXPECT_TRUE(same(q, wantQ)) << "div q " << where;
            EXPECT_TRUE(same(r, wantR)) << "div r " << where;

            a.negative = true; // mod of -|a| by |d|, into a itself
            d.negative = false;
            toMpz(ma, a);
            mpz_abs(md, md);
            mpz_mod(wantR, ma, md);
            mod(a, a, d);
            EXPECT_TRUE(same(a, wantR)) << "mod " << where;
        }
    }
}

// Moduli of every size from 0 to 80 limbs: random, and 2^k, 2^k - 1, 2^k + 1
// for k = 32 limbs - 1 and 32 limbs. modExp reduces a base above m with mod.
TEST(BigIntGmpTest, ReciprocalAndExponentiationAtEveryModulusSize)
{
    Operands gen;
    for (int limbs = 0; limbs <= 80; ++limbs) {
        for (int form = 0; form < 7; ++form) {
            Mpz mm, ma, me, want;
            BigIntCore m, a, e, recip, r;
            const int k = form < 4 ? 32 * limbs - 1 : 32 * limbs;
            if (form == 0) {
                gen.make(m, limbs);
                toMpz(mm, m);
            } else if (k >= 0) {
                mpz_setbit(mm, static_cast<mp_bitcnt_t>(k));
                if (form % 3 == 2) {
                    mpz_sub_ui(mm, mm, 1);
                } else if (form % 3 == 0) {
                    mpz_add_ui(mm, mm, 1);
                }
                fromMpz(m, mm);
            }
            const std::string where =
                std::to_string(limbs) + " limbs, form " + std::to_string(form);
            if (m.used == 0) {
                EXPECT_THROW(makeRecip(recip, m), ArithmeticException) << where;
                continue;
            }
            const int recipBits = expectReciprocal(recip, m, mm, where);

            gen.make(a, m.used + 2);
            gen.make(e, 2);
            toMpz(ma, a);
            toMpz(me, e);
            mpz_powm(want, ma, me, mm);
            modExp(r, a, e, m, recip, static_cast<std::int16_t>(recipBits));
            EXPECT_TRUE(same(r, want)) << "modExp " << where;
        }
    }
}

TEST(BigIntGmpTest, GcdAndInverse)
{
    Operands gen;
    for (const int na : sizes) {
        for (const int nd : sizes) {
            BigIntCore a, d, r, g;
            gen.make(a, na);
            gen.make(d, nd == 0 ? 1 : nd);
            Mpz ma, md, wantR;
            toMpz(ma, a);
            toMpz(md, d);
            const std::string where = std::to_string(na) + "/" + std::to_string(nd);

            mpz_gcd(wantR, ma, md);
            gcd(g, a, d);
            EXPECT_TRUE(same(g, wantR)) << "gcd " << where;
            if (mpz_invert(wantR, ma, md) != 0 && mpz_cmp_ui(md.v, 1) > 0) {
                inverseModN(r, a, d);
                EXPECT_TRUE(same(r, wantR)) << "inverseModN " << where;
            }
        }
    }
    // Common powers of two and equal operands.
    BigIntCore a, b, g;
    gen.make(a, 9);
    shiftLeft(b, a, 37);
    shiftLeft(a, a, 5);
    Mpz ma, mb, want;
    toMpz(ma, a);
    toMpz(mb, b);
    mpz_gcd(want, ma, mb);
    gcd(g, a, b);
    EXPECT_TRUE(same(g, want));
    gcd(g, a, a);
    EXPECT_TRUE(same(g, ma));
}

TEST(BigIntGmpTest, BarrettReciprocalMultiplicationAndExponentiation)
{
    Operands gen;
    struct Modulus {
        int bits;
        int form; // 0 random, 1 2^k, 2 2^k - 1, 3 2^k + 1
    };
    std::vector<Modulus> moduli;
    for (const int bits : {2, 31, 32, 33, 64, 127, 512, 513, 1023, 1024, 1536, 2048}) {
        for (int form = 0; form < 4; ++form) {
            moduli.push_back({bits, form});
        }
    }
    BigIntScratch scratch;
    for (const Modulus& mod : moduli) {
        Mpz mm, ma, mb, me, want;
        if (mod.form == 0) {
            BigIntCore m;
            gen.make(m, (mod.bits + 31) / 32);
            toMpz(mm, m);
            mpz_fdiv_r_2exp(mm, mm, static_cast<mp_bitcnt_t>(mod.bits));
            mpz_setbit(mm, static_cast<mp_bitcnt_t>(mod.bits - 1));
        } else {
            mpz_ui_pow_ui(mm, 2, static_cast<unsigned long>(mod.bits));
            if (mod.form == 2) {
                mpz_sub_ui(mm, mm, 1);
            } else if (mod.form == 3) {
                mpz_add_ui(mm, mm, 1);
            }
        }
        BigIntCore m, recip, a, b, e, r;
        fromMpz(m, mm);
        const std::string where = std::to_string(mod.bits) + " form " + std::to_string(mod.form);

        const int recipBits = expectReciprocal(recip, m, mm, where);
        const auto k = static_cast<std::int16_t>(recipBits);

        for (int round = 0; round < 4; ++round) {
            gen.make(a, m.used + 1);
            gen.make(b, m.used);
            toMpz(ma, a);
            toMpz(mb, b);
            mpz_mod(ma, ma, mm);
            mpz_mod(mb, mb, mm);
            if (round == 0) {
                mpz_sub_ui(ma, mm, 1);
                mpz_set(mb, ma);
            }
            fromMpz(a, ma);
            fromMpz(b, mb);
            mpz_mul(want, ma, mb);
            mpz_mod(want, want, mm);
            modMulRecip(r, a, b, m, recip, k, &scratch);
            EXPECT_TRUE(same(r, want)) << "modMulRecip " << round << " " << where;
            modMulRecip(a, a, a, m, recip, k, nullptr);
            mpz_mul(want, ma, ma);
            mpz_mod(want, want, mm);
            EXPECT_TRUE(same(a, want)) << "modMulRecip square in place " << where;

            // Exponents 0, 1, random full-size and negative; bases beyond m.
            gen.make(a, m.used + 2);
            toMpz(ma, a);
            const int eLimbs = round == 3 ? 1 + static_cast<int>(gen.next() % 3) : m.used;
            gen.make(e, round < 2 ? 1 : eLimbs, round == 3);
            if (round < 2) {
                e.used = static_cast<std::uint16_t>(round);
                e.limbs[0] = 1;
            }
            toMpz(me, e);
            if (mpz_sgn(me.v) >= 0 || mpz_invert(mb, ma, mm) != 0) {
                mpz_powm(want, ma, me, mm);
                modExp(r, a, e, m, recip, k);
                EXPECT_TRUE(same(r, want)) << "modExp " << round << " " << where;
            }
        }
    }
}

// modMulRecip's steps on GMP integers: q = floor(floor(|x| / 2^k) |recip|
// / 2^k), r = x - q m, then at most three subtractions of m. False where the
// steps end in "modMulRecip".
bool barrettSteps(mpz_t r, const mpz_t x, const mpz_t m, const mpz_t recip, int recipBits)
{
    const auto k = static_cast<mp_bitcnt_t>(recipBits > 0 ? recipBits - 1 : 0);
    Mpz q;
    mpz_abs(q, x);
    mpz_fdiv_q_2exp(q, q, k);
    mpz_mul(q, q, recip);
    mpz_abs(q, q);
    mpz_fdiv_q_2exp(q, q, k);
    mpz_mul(q, q, m);
    mpz_sub(r, x, q);
    for (int i = 0; i < 3 && mpz_cmp(r, m) >= 0; ++i) {
        mpz_sub(r, r, m);
    }
    return mpz_cmp(r, m) < 0;
}

// Barrett computes only the halves of its products where the operands allow
// it and the whole products elsewhere; on either side of every condition the
// result, or the exception, is that of the steps.
TEST(BigIntGmpTest, BarrettAgreesWithItsStepsOnEitherSideOfTheHalves)
{
    Operands gen;
    BigIntScratch scratch;
    for (const int bits : {64, 544, 1024, 1056, 2048}) {
        Mpz mm, exact;
        mpz_ui_pow_ui(mm, 2, static_cast<unsigned long>(bits));
        mpz_sub_ui(mm, mm, 1);
        BigIntCore random;
        gen.make(random, bits / 32);
        toMpz(exact, random);
        mpz_setbit(exact, static_cast<mp_bitcnt_t>(bits - 1));
        for (const bool allOnes : {false, true}) {
            if (!allOnes) {
                mpz_set(mm, exact);
            }
            struct Row {
                const char* name;
                int recipShift;  // k - bits
                int recipChange; // 0 exact, 1 one more, -1 one less, 2 twice
                int aForm;       // 0 below m, 1 2^k - 1, 2 2^k, 3 negative, 4 zero, 5 m 2^40
            };
            const Row rows[] = {
                {"operands below m", 0, 0, 0},
                {"a b just below 2^(2k)", 0, 0, 1},
                {"a b = 2^(2k)", 0, 0, 2},
                {"negative a", 0, 0, 3},
                {"zero a", 0, 0, 4},
                {"a wider than m", 0, 0, 5},
                {"recip one too large", 0, 1, 0},
                {"recip one too small", 0, -1, 0},
                {"recip twice too large", 0, 2, 0},
                {"k above the modulus", 7, 0, 0},
                {"k below the modulus", -9, 0, 0},
                {"k above, a near 2^k", 7, 0, 1},
            };
            for (const Row& row : rows) {
                const int k = bits + row.recipShift;
                Mpz mrecip, ma, mb, want, x;
                mpz_ui_pow_ui(mrecip, 2, static_cast<unsigned long>(2 * k));
                mpz_fdiv_q(mrecip, mrecip, mm);
                if (row.recipChange == 1) {
                    mpz_add_ui(mrecip, mrecip, 1);
                } else if (row.recipChange == -1) {
                    mpz_sub_ui(mrecip, mrecip, 1);
                } else if (row.recipChange == 2) {
                    mpz_mul_2exp(mrecip, mrecip, 1);
                }
                BigIntCore a, b;
                gen.make(b, bits / 32);
                toMpz(mb, b);
                mpz_mod(mb, mb, mm);
                mpz_ui_pow_ui(ma, 2, static_cast<unsigned long>(k));
                if (row.aForm == 0 || row.aForm == 3) {
                    mpz_set(ma, mb);
                    mpz_fdiv_q_2exp(ma, ma, 1);
                } else if (row.aForm == 1) {
                    mpz_sub_ui(ma, ma, 1);
                    mpz_set(mb, ma);
                } else if (row.aForm == 2) {
                    mpz_set(mb, ma);
                } else if (row.aForm == 4) {
                    mpz_set_ui(ma, 0);
                } else {
                    mpz_mul_2exp(ma, mm, 40);
                }
                if (row.aForm == 3) {
                    mpz_neg(ma, ma);
                }
                BigIntCore m, recip, r;
                fromMpz(m, mm);
                fromMpz(recip, mrecip);
                fromMpz(a, ma);
                fromMpz(b, mb);
                const auto recipBits = static_cast<std::int16_t>(k + 1);
                const std::string where = std::string(row.name) + ", " + std::to_string(bits) +
                                          (allOnes ? " bits, 2^k - 1" : " bits");
                for (const bool square : {false, true}) {
                    mpz_mul(x, ma, square ? ma : mb);
                    const bool fits = barrettSteps(want, x, mm, mrecip, recipBits);
                    bool returned = true;
                    try {
                        modMulRecip(r, a, square ? a : b, m, recip, recipBits, &scratch);
                    } catch (const ArithmeticException& e) {
                        EXPECT_STREQ(e.what(), "modMulRecip") << where;
                        returned = false;
                    }
                    ASSERT_EQ(returned, fits) << where << (square ? ", square" : "");
                    if (fits) {
                        EXPECT_TRUE(same(r, want)) << where << (square ? ", square" : "");
                    }
                }
            }
        }
    }
}

TEST(BigIntGmpTest, BytesAndBits)
{
    Operands gen;
    for (const int n : sizes) {
        BigIntCore a, r;
        gen.make(a, n);
        Mpz ma, want;
        toMpz(ma, a);
        ByteString bytes;
        toBytes(a, bytes);
        std::vector<std::uint8_t> expected;
        if (n > 0) {
            expected.resize((mpz_sizeinbase(ma, 2) + 7) / 8);
            mpz_export(expected.data(), nullptr, 1, 1, 0, 0, ma);
            if ((expected[0] & 0x80) != 0) {
                expected.insert(expected.begin(), 0);
            }
        }
        EXPECT_EQ(bytes, expected) << n;
        ByteString padded = bytes;
        padded.insert(padded.begin(), 3, 0);
        fromBytes(r, padded);
        EXPECT_TRUE(same(r, ma)) << "fromBytes " << n;

        EXPECT_EQ(bitCount(a), n == 0 ? 0 : static_cast<int>(mpz_sizeinbase(ma, 2)));
        for (int bit = -1; bit < 32 * n + 40; bit += 1 + static_cast<int>(gen.next() % 7)) {
            EXPECT_EQ(testBit(a, bit), bit >= 0 && mpz_tstbit(ma, static_cast<mp_bitcnt_t>(bit)))
                << n << " bit " << bit;
            BigIntCore s = a;
            setBit(s, bit);
            mpz_set(want, ma);
            if (bit >= 0 && bit < 32 * n) {
                mpz_setbit(want, static_cast<mp_bitcnt_t>(bit));
            }
            EXPECT_TRUE(same(s, want)) << "setBit " << n << " bit " << bit;
        }
    }
}

} // namespace
