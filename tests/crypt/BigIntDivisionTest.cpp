// div, mod, makeRecip and modExp against the bit-serial steps that Algorithm D
// replaced: every size from 0 to 80 limbs, moduli 2^k and 2^k +- 1, every
// aliasing of results and operands, and the operands on which Algorithm D is
// known to go wrong.

#include "BigIntOperands.h"
#include "BitSerialDivision.h"
#include "common/ArithmeticException.h"
#include "crypt/BigInt.h"

#include <algorithm>
#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace LumenCryptMini;

namespace {

constexpr int largestLimbs = 80;

// The operands a and d, then two result objects x and y. A call names its
// objects by index, -1 for an absent result.
using Numbers = std::array<BigIntCore, 4>;

std::string nameOf(int i)
{
    return i < 0 ? "null" : std::string(1, "adxy"[i]);
}

BigIntCore* pick(Numbers& n, int i)
{
    return i < 0 ? nullptr : &n[static_cast<std::size_t>(i)];
}

struct Call {
    std::string name;
    // Ours, or the bit-serial steps; returns what makeRecip returns.
    std::function<int(Numbers&, bool bitSerial)> run;
};

Call divCall(int q, int r, int divisor)
{
    return {"div(" + nameOf(q) + ", " + nameOf(r) + ", a, " + nameOf(divisor) + ")",
            [=](Numbers& n, bool bitSerial) {
                (bitSerial ? BitSerial::div : LumenCryptMini::div)(pick(n, q), pick(n, r), n[0],
                                                                   *pick(n, divisor));
                return 0;
            }};
}

Call modCall(int r, int modulus)
{
    return {"mod(" + nameOf(r) + ", a, " + nameOf(modulus) + ")", [=](Numbers& n, bool bitSerial) {
                (bitSerial ? BitSerial::mod : mod)(*pick(n, r), n[0], *pick(n, modulus));
                return 0;
            }};
}

Call recipCall(int r)
{
    return {"makeRecip(" + nameOf(r) + ", d)", [=](Numbers& n, bool bitSerial) {
                return (bitSerial ? BitSerial::makeRecip : makeRecip)(*pick(n, r), n[1]);
            }};
}

const std::vector<Call> plainCalls = {divCall(2, 3, 1), modCall(2, 1), recipCall(2)};

std::vector<Call> everyAliasing()
{
    std::vector<Call> calls = {divCall(2, 3, 0), modCall(0, 1), modCall(1, 1), modCall(2, 1),
                               modCall(2, 0),    recipCall(1),  recipCall(2)};
    for (int q = -1; q < 4; ++q) {
        for (int r = -1; r < 4; ++r) {
            calls.push_back(divCall(q, r, 1));
        }
    }
    return calls;
}

::testing::AssertionResult identical(const BigIntCore& ours, const BigIntCore& theirs)
{
    const auto text = [](const BigIntCore& n) {
        std::string out = n.negative ? "-" : "+";
        for (int i = n.used - 1; i >= 0; --i) {
            out += " " + std::to_string(n.limbs[i]);
        }
        return out;
    };
    if (ours.used != theirs.used || ours.negative != theirs.negative ||
        !std::equal(ours.limbs, ours.limbs + ours.used, theirs.limbs)) {
        return ::testing::AssertionFailure()
               << "ours " << text(ours) << "\nbit-serial " << text(theirs);
    }
    return ::testing::AssertionSuccess();
}

// Each call on fresh copies, ours and the bit-serial steps: the same exception
// text, or else the same value returned and all four numbers identical. The
// results start out holding other numbers, so nothing stale may survive.
void expectAsBitSerial(const BigIntCore& a, const BigIntCore& d, const std::vector<Call>& calls,
                       const std::string& where)
{
    for (const Call& call : calls) {
        std::string texts[2];
        int values[2] = {0, 0};
        Numbers numbers[2] = {{a, d, d, a}, {a, d, d, a}};
        for (int bitSerial = 0; bitSerial < 2; ++bitSerial) {
            numbers[bitSerial][3].negative = true;
            try {
                values[bitSerial] = call.run(numbers[bitSerial], bitSerial == 1);
            } catch (const ArithmeticException& e) {
                texts[bitSerial] = e.what();
            }
        }
        EXPECT_EQ(texts[0], texts[1]) << call.name << " " << where;
        if (texts[0].empty() && texts[1].empty()) {
            EXPECT_EQ(values[0], values[1]) << call.name << " " << where;
            for (std::size_t i = 0; i < 4; ++i) {
                EXPECT_TRUE(identical(numbers[0][i], numbers[1][i]))
                    << nameOf(static_cast<int>(i)) << " after " << call.name << " " << where;
            }
        }
    }
}

} // namespace

TEST(BigIntDivision, AgreesWithTheBitSerialStepsAtEverySize)
{
    Operands gen;
    // Divisors' top limbs: as drawn, and the two on which normalising and
    // the quotient estimate go wrong most easily.
    const std::uint32_t tops[] = {0, 0x80000000, 0xFFFFFFFF};
    for (int na = 0; na <= largestLimbs; ++na) {
        for (int nd = 0; nd <= largestLimbs; ++nd) {
            BigIntCore a, d;
            gen.make(a, na, gen.next() % 4 == 0);
            gen.make(d, nd, gen.next() % 4 == 0);
            setTopLimb(d, tops[(na + nd) % 3]);
            expectAsBitSerial(a, d, {divCall(2, 3, 1), modCall(2, 1)},
                              std::to_string(na) + "/" + std::to_string(nd));
        }
    }
}

// modExp reduces its base with mod, and the reciprocal comes from makeRecip.
TEST(BigIntDivision, ModuliOfEverySizeAndTheirNeighboursOfPowersOfTwo)
{
    Operands gen;
    const BigInt one(1, false);
    for (int limbs = 0; limbs <= largestLimbs; ++limbs) {
        std::vector<BigIntCore> moduli(1);
        gen.make(moduli[0], limbs);
        for (const int k : {32 * limbs - 1, 32 * (limbs - 1)}) {
            BigIntCore power;
            shiftLeft(power, one, k);
            moduli.push_back(power);
            for (const bool plus : {false, true}) {
                moduli.emplace_back();
                (plus ? add : sub)(moduli.back(), power, one);
            }
        }
        for (const BigIntCore& m : moduli) {
            const std::string where = std::to_string(bitCount(m)) + "-bit modulus";
            BigIntCore a, e, recip, base, ours, reference;
            gen.make(a, limbs + 2);
            expectAsBitSerial(a, m, plainCalls, where);
            if (m.used > 0) {
                gen.make(e, 2);
                const auto bits = static_cast<std::int16_t>(makeRecip(recip, m));
                modExp(ours, a, e, m, recip, bits);
                BitSerial::mod(base, a, m);
                modExp(reference, base, e, m, recip, bits);
                EXPECT_TRUE(identical(ours, reference)) << "modExp " << where;
            }
        }
    }
}

TEST(BigIntDivision, EdgesOfAlgorithmDUnderEveryAliasing)
{
    Operands gen;
    const BigInt one(1, false);
    struct Row {
        std::string name;
        BigIntCore a, d;
    };
    std::vector<Row> rows;
    // a = (c + 1) v - 1 with v normalised and three or more words long: the
    // estimate from the top words of a is c + 1, one more than the true
    // digit c, and only the add-back step gives the right quotient. An odd v
    // and c + 1 keep a's low words from being zero.
    for (const int n : {6, 7, 8, 13}) {
        Row row{"add back, " + std::to_string(n) + " limbs", {}, {}};
        gen.make(row.d, n);
        row.d.limbs[n - 1] |= 0x80000000;
        row.d.limbs[0] |= 1;
        BigIntCore product;
        mul(product, row.d, BigInt(2 * (gen.next() % 0x3FFFFFFF) + 1, false));
        sub(row.a, product, one);
        rows.push_back(row);
    }
    // Divisors topped by the limbs that normalising and the estimate get
    // wrong most easily; from five limbs on, zeros below the top leave only
    // the estimate's bound, not its test against the next word, to keep a
    // digit below 2^wordBits.
    for (const std::uint32_t top : {0x80000000u, 0xFFFFFFFFu, 1u}) {
        for (const int n : {1, 2, 3, 4, 5, 6}) {
            Row row{
                "top limb " + std::to_string(top) + ", " + std::to_string(n) + " limbs", {}, {}};
            gen.make(row.d, n);
            if (n >= 5) {
                std::fill(row.d.limbs, row.d.limbs + n, 1);
                std::fill(row.d.limbs + 1, row.d.limbs + n, 0);
            }
            setTopLimb(row.d, top);
            gen.make(row.a, n + 3);
            rows.push_back(row);
            // a = d 2^64 - 1: every quotient digit is all ones, the largest
            // the estimate can give, and every partial remainder is large.
            row.name = "digits all ones, " + row.name;
            shiftLeft(row.a, row.d, 64);
            sub(row.a, row.a, one);
            rows.push_back(row);
        }
    }
    Row shorter{"dividend shorter than divisor", {}, {}};
    gen.make(shorter.a, 2);
    gen.make(shorter.d, 5);
    rows.push_back(shorter);
    Row below{"dividend one below divisor", {}, shorter.d};
    sub(below.a, below.d, one);
    rows.push_back(below);
    rows.push_back({"equal numbers", shorter.d, shorter.d});
    rows.push_back({"zero dividend", {}, shorter.d});
    rows.push_back({"zero divisor", shorter.d, {}});

    const std::vector<Call> calls = everyAliasing();
    for (Row& row : rows) {
        for (int signs = 0; signs < 4; ++signs) {
            row.a.negative = (signs & 1) != 0;
            row.d.negative = (signs & 2) != 0;
            expectAsBitSerial(row.a, row.d, calls, row.name + ", signs " + std::to_string(signs));
        }
    }
}
