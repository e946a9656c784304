// Storage rules, failure messages, conversions at their edges, random draws
// and the value-style operations.

#include "crypt/BigInt.h"

#include "TestBytes.h"
#include "common/ArithmeticException.h"
#include "crypt/RandomPool.h"

#include <functional>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <vector>

using namespace LumenCryptMini;

namespace {

BigInt value(std::uint64_t v)
{
    return BigInt(v, false);
}

TEST(BigIntTest, StorageFollowsInlineHeapAndCopyRules)
{
    BigIntCore n;
    EXPECT_EQ(n.capacity, 4);
    EXPECT_EQ(n.limbs, n.inlineLimbs);
    EXPECT_EQ(n.used, 0);
    EXPECT_FALSE(n.negative);
    for (const std::uint32_t limb : n.inlineLimbs) {
        EXPECT_EQ(limb, 0u);
    }
    fromBytes(n, fromHex("0102030405060708090a0b0c0d0e0f10"));
    n.reserve(4, true);
    EXPECT_EQ(n.limbs, n.inlineLimbs);
    n.reserve(5, true); // n + 16 limbs, value kept, the rest zero
    EXPECT_EQ(n.capacity, 21);
    EXPECT_NE(n.limbs, n.inlineLimbs);
    EXPECT_EQ(n.used, 4);
    EXPECT_EQ(n.limbs[0], 0x0d0e0f10u);
    EXPECT_EQ(n.limbs[20], 0u);
    const std::uint32_t* block = n.limbs;
    n.reserve(21, true);
    EXPECT_EQ(n.limbs, block);
    n.reserve(40, false);
    EXPECT_EQ(n.capacity, 56);
    EXPECT_EQ(n.used, 0);

    // A copy takes the source's capacity: a heap block of its own, or inline.
    fromBytes(n, fromHex("ffeeddccbbaa99887766554433221100"));
    BigIntCore big;
    copy(big, n);
    EXPECT_EQ(big.capacity, 56);
    EXPECT_NE(big.limbs, n.limbs);
    EXPECT_EQ(cmp(big, n), 0);
    BigIntCore small;
    fromBytes(small, fromHex("07"));
    copy(big, small);
    EXPECT_EQ(big.capacity, 4);
    EXPECT_EQ(big.limbs, big.inlineLimbs);
    EXPECT_EQ(cmp(big, small), 0);
    copy(n, n);
    EXPECT_EQ(n.capacity, 56);
    BigInt x(fromHex("0102030405"));
    x.reserve(30, true);
    BigInt y = x;
    BigInt z;
    z = y;
    EXPECT_EQ(z.capacity, x.capacity);
    EXPECT_TRUE(z == x);

    n.reserve(65530, false);
    EXPECT_EQ(n.capacity, 65535);
    EXPECT_THROW(n.reserve(65536, false), std::bad_alloc);
}

TEST(BigIntTest, EachFailureHasItsConditionAndMessage)
{
    const std::string aliasText = "Result must not be either Parameter (a or b)";
    BigIntCore a, b, r, zero, negative, m, recip;
    fromBytes(a, fromHex("0123456789abcdef0123456789abcdef01"));
    fromBytes(b, fromHex("fedcba98"));
    fromBytes(m, fromHex("c90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b139b22514a08"
                         "798e3404ddef9519b3cd3a431b302b0a6df25f14374fe1356d6d51c245e485b576625e7e"
                         "c6f44c42e9a63a3620ffffffffffffffff"));
    sub(negative, zero, b);
    const std::int16_t recipBits = static_cast<std::int16_t>(makeRecip(recip, m));
    const BigInt minusOne(~0ull, true);
    BigIntCore huge;
    shiftLeft(huge, m, 64);
    BigIntScratch scratch;

    struct Case {
        const char* name;
        std::function<void()> run;
        std::string message; // empty: must not throw
    };
    const std::vector<Case> cases = {
        {"mul r=a", [&] { mul(a, a, b); }, aliasText},
        {"mul r=b", [&] { mul(b, a, b); }, aliasText},
        {"karatsuba r=a", [&] { mul(a, a, b, &scratch); }, aliasText},
        {"karatsuba r=b", [&] { mul(b, a, b, nullptr); }, aliasText},
        {"mul square", [&] { mul(r, a, a); }, ""},
        {"karatsuba square", [&] { mul(r, m, m, nullptr); }, ""},
        {"mod r=m", [&] { mod(m, a, m); }, "Result must not be the same object as m"},
        {"mod r=a", [&] { mod(r, r, m); }, ""},
        {"div by zero", [&] { div(&r, &b, a, zero); }, "div: Divide by zero"},
        {"div by zero, no results", [&] { div(nullptr, nullptr, a, zero); }, "div: Divide by zero"},
        {"div of zero", [&] { div(&r, &b, zero, a); }, ""},
        {"makeRecip of zero", [&] { makeRecip(r, zero); }, "div: Divide by zero"},
        {"modMulRecip in range", [&] { modMulRecip(r, a, b, m, recip, recipBits, nullptr); }, ""},
        {"modMulRecip far out of range",
         [&] { modMulRecip(r, huge, huge, m, recip, recipBits, &scratch); }, "modMulRecip"},
        {"inverseModN negative a", [&] { inverseModN(r, negative, m); }, "inverseModN"},
        {"inverseModN negative m", [&] { inverseModN(r, a, negative); }, "inverseModN"},
        {"inverseModN", [&] { inverseModN(r, b, m); }, ""},
        {"modExp negative e", [&] { modExp(r, a, negative, m, recip, recipBits); }, ""},
        {"modExp negative e and m", [&] { modExp(r, a, minusOne, negative, recip, recipBits); },
         "inverseModN"},
    };
    for (const Case& c : cases) {
        try {
            c.run();
            EXPECT_TRUE(c.message.empty()) << c.name << " did not throw";
        } catch (const ArithmeticException& e) {
            EXPECT_EQ(e.what(), c.message) << c.name;
        }
    }
}

TEST(BigIntTest, ConversionAndBitEdges)
{
    const std::vector<std::pair<std::uint64_t, std::string>> toCases = {
        {0, ""},
        {0x80, "0080"},
        {0x7f, "7f"},
        {255, "00ff"},
        {256, "0100"},
        {0x80000000u, "0080000000"},
        {0x123456789aull, "123456789a"}};
    for (const auto& [v, bytes] : toCases) {
        EXPECT_EQ(value(v).toBytes(), fromHex(bytes)) << v;
    }
    EXPECT_EQ(BigInt(0ull - 0x80, true).toBytes(), fromHex("80")); // magnitude only

    const std::vector<std::pair<std::string, std::uint64_t>> fromCases = {
        {"000001", 1}, {"", 0}, {"ff", 255}, {"00000000", 0}, {"0100000000", 1ull << 32}};
    for (const auto& [bytes, v] : fromCases) {
        BigInt n(fromHex(bytes));
        EXPECT_TRUE(n == value(v)) << bytes;
        EXPECT_FALSE(n.negative);
    }

    EXPECT_EQ(value(0).setBit(0).bitCount(), 0);
    EXPECT_TRUE(value(2).setBit(0) == value(3));
    EXPECT_TRUE(value(2).setBit(32) == value(2));
    EXPECT_FALSE(value(0xffffffff).testBit(32));
    EXPECT_TRUE(value(0xffffffff).testBit(31));
    EXPECT_EQ(value(1).bitCount(), 1);
    EXPECT_EQ(value(1ull << 32).bitCount(), 33);
    EXPECT_EQ(value(0).bitCount(), 0);
}

TEST(BigIntTest, DivisionGcdAndValueOperations)
{
    BigIntCore q, r;
    fromBytes(q, fromHex("99"));
    div(&q, &r, value(7), value(9));
    EXPECT_EQ(q.used, 0);
    EXPECT_TRUE(cmp(r, value(7)) == 0);

    // gcd of an odd k with an even p - 1.
    const std::vector<std::vector<std::uint64_t>> gcdCases = {
        {35, 1056, 1}, {21, 1056, 3}, {0, 1056, 1056}, {1056, 0, 1056}, {0, 0, 0}, {1, 2, 1}};
    for (const auto& c : gcdCases) {
        EXPECT_TRUE(value(c[0]).gcd(value(c[1])) == value(c[2])) << c[0] << " " << c[1];
    }

    EXPECT_EQ(BigInt::one.toBytes(), fromHex("01"));
    EXPECT_EQ(BigInt(~0ull, true).cmp(value(0)), -1);
    EXPECT_TRUE(value(5).sub(value(7)) == BigInt(0ull - 2, true));
    EXPECT_TRUE(value(7).sub(value(7)).bitCount() == 0);

    // p = 2^127 - 1 is prime: Fermat, and squaring two ways.
    BigInt p(fromHex("7fffffffffffffffffffffffffffffff"));
    int recipBits = 0;
    const BigInt recip = p.makeRecip(recipBits);
    EXPECT_EQ(recipBits, 128);
    const auto bits = static_cast<std::int16_t>(recipBits);
    const BigInt g(fromHex("0123456789abcdef0123456789abcdef"));
    EXPECT_TRUE(g.modExp(p.sub(BigInt::one), p, recip, bits) == BigInt::one);
    EXPECT_TRUE(g.modExp(value(2), p, recip, bits) == g.modMulRecip(g, p, recip, bits));
}

TEST(BigIntTest, RandomDrawsWholeBytesAndMasksTheTop)
{
    const ByteString seed = fromHex("5eed");
    for (const int bits : {1, 7, 8, 9, 31, 1023, 1024}) {
        RandomPool pool(seed);
        RandomPool reference(seed);
        for (int draw = 0; draw < 8; ++draw) {
            const BigInt k(bits, pool);
            ByteString bytes(static_cast<std::size_t>((bits + 7) / 8));
            reference.fill(bytes);
            bytes[0] &= static_cast<std::uint8_t>(0xff >> (8 * bytes.size() - bits));
            EXPECT_TRUE(k == BigInt(bytes)) << bits;
            EXPECT_LE(k.bitCount(), bits);
        }
        // Both pools are at the same place afterwards.
        ByteString next(16), expected(16);
        pool.fill(next);
        reference.fill(expected);
        EXPECT_EQ(next, expected) << bits;
    }
    RandomPool pool(seed);
    RandomPool reference(seed);
    EXPECT_EQ(BigInt(0, pool).bitCount(), 0);
    ByteString next(16), expected(16);
    pool.fill(next);
    reference.fill(expected);
    EXPECT_EQ(next, expected);
}

} // namespace
