#include "crypto/field_element.h"

#include <gtest/gtest.h>

#include <random>

#include "bignum_reference.h"

using namespace velmara;

namespace {

using reference::Bignum;
using reference::Bytes32;

constexpr int32_t kEvenMax = (1 << 26) - 1;
constexpr int32_t kOddMax = (1 << 25) - 1;

// The limbs of p: l0 = 2^26 - 19, every other limb at its maximum.
FieldElement primeLimbs() {
    FieldElement p;
    for (size_t i = 0; i < kFieldLimbs; ++i) p.limb[i] = (i & 1) ? kOddMax : kEvenMax;
    p.limb[0] = (1 << 26) - 19;
    return p;
}

Bytes32 encode(const FieldElement& x) {
    Bytes32 bytes;
    feEncode(bytes, x);
    return bytes;
}

// Limbs as a multiplication may receive them: a carried element, or the sum or difference of two.
class RandomElements {
  public:
    explicit RandomElements(uint32_t seed) : random_(seed) {}

    FieldElement carried() {
        FieldElement x;
        for (size_t i = 0; i < kFieldLimbs; ++i) {
            x.limb[i] = static_cast<int32_t>(random_() &
                                             static_cast<uint32_t>((i & 1) ? kOddMax : kEvenMax));
        }
        return x;
    }

    FieldElement anyInput() {
        FieldElement x = carried();
        FieldElement y = carried();
        switch (random_() % 4) {
            case 0:
                return x;
            case 1:
                feAdd(x, x, y);
                return x;
            case 2:
                feSub(x, x, y);
                return x;
            default: {
                // Extremes: every limb at the top or bottom of the sum/difference range.
                for (size_t i = 0; i < kFieldLimbs; ++i) {
                    const int32_t max = (i & 1) ? kOddMax : kEvenMax;
                    x.limb[i] = (random_() & 1) ? 2 * max : -max;
                }
                return x;
            }
        }
    }

    Bytes32 bytes() {
        Bytes32 b;
        for (uint8_t& byte : b) byte = static_cast<uint8_t>(random_());
        return b;
    }

  private:
    std::mt19937 random_;
};

void expectCarried(const FieldElement& x) {
    for (size_t i = 0; i + 1 < kFieldLimbs; ++i) {
        EXPECT_GE(x.limb[i], 0) << "limb " << i;
        EXPECT_LE(x.limb[i], (i & 1) ? kOddMax : kEvenMax) << "limb " << i;
    }
    EXPECT_GE(x.limb[9], -1);
    EXPECT_LE(x.limb[9], 1 << 25);
}

Bytes32 bytesOfPrimeMinus(uint32_t k) {
    Bignum n = reference::copyOf(reference::prime());
    BN_sub_word(n.get(), k);
    return reference::toBytes(n.get());
}

}  // namespace

TEST(FieldArithmetic, MultiplyAndSquareMatchBignum) {
    RandomElements random(1);
    for (int round = 0; round < 400; ++round) {
        const FieldElement x = random.anyInput();
        const FieldElement y = random.anyInput();
        const Bignum bx = reference::fromLimbs(x);
        const Bignum by = reference::fromLimbs(y);

        FieldElement product;
        feMul(product, x, y);
        expectCarried(product);
        ASSERT_EQ(encode(product), reference::toBytes(reference::modMul(bx.get(), by.get()).get()))
            << "round " << round;

        FieldElement square;
        feSquare(square, x);
        expectCarried(square);
        ASSERT_EQ(encode(square), reference::toBytes(reference::modMul(bx.get(), bx.get()).get()))
            << "round " << round;
    }
}

TEST(FieldArithmetic, AddSubAndMultiplyByIntegerMatchBignum) {
    RandomElements random(2);
    for (int round = 0; round < 200; ++round) {
        const FieldElement x = random.carried();
        const FieldElement y = random.carried();
        const Bignum bx = reference::fromLimbs(x);
        const Bignum by = reference::fromLimbs(y);

        FieldElement sum, difference;
        feAdd(sum, x, y);
        feSub(difference, x, y);
        EXPECT_EQ(encode(sum), reference::toBytes(reference::modAdd(bx.get(), by.get()).get()));
        EXPECT_EQ(encode(difference),
                  reference::toBytes(reference::modSub(bx.get(), by.get()).get()));

        const FieldElement input = random.anyInput();
        const Bignum bInput = reference::fromLimbs(input);
        for (uint32_t k :
             {0u, 1u, 121665u, 486662u, 0xffffffffu, static_cast<uint32_t>(round * 7919)}) {
            FieldElement scaled;
            feMulInt(scaled, input, k);
            expectCarried(scaled);
            EXPECT_EQ(encode(scaled),
                      reference::toBytes(
                          reference::modMul(bInput.get(), reference::fromWord(k).get()).get()))
                << "k " << k;
        }
    }
}

TEST(FieldArithmetic, OutputMayBeAnInput) {
    RandomElements random(3);
    const FieldElement x = random.anyInput();
    const FieldElement y = random.anyInput();
    FieldElement expected, aliased = x;
    feMul(expected, x, y);
    feMul(aliased, aliased, y);
    EXPECT_EQ(encode(aliased), encode(expected));
    aliased = y;
    feMul(aliased, x, aliased);
    EXPECT_EQ(encode(aliased), encode(expected));
    for (int mode : {0, 1}) {
        fePow(expected, x, mode);
        aliased = x;
        fePow(aliased, aliased, mode);
        EXPECT_EQ(encode(aliased), encode(expected)) << "mode " << mode;
    }
}

TEST(FieldPower, InverseAndSquareRootPowerMatchBignum) {
    RandomElements random(4);
    Bignum rootExponent = reference::newBignum();
    BN_set_bit(rootExponent.get(), 252);
    BN_sub_word(rootExponent.get(), 3);

    FieldElement one;
    feSetInt(one, 1);
    for (int round = 0; round < 40; ++round) {
        const FieldElement x = random.anyInput();
        const Bignum bx = reference::fromLimbs(x);
        if (BN_is_zero(bx.get())) continue;

        FieldElement inverse, product;
        fePow(inverse, x, 0);
        feMul(product, x, inverse);
        EXPECT_EQ(encode(product), encode(one)) << "round " << round;
        EXPECT_EQ(encode(inverse), reference::toBytes(reference::modInverse(bx.get()).get()));

        FieldElement power;
        fePow(power, x, 1);
        Bignum expected = reference::newBignum();
        BN_mod_exp(expected.get(), bx.get(), rootExponent.get(), reference::prime(),
                   reference::context());
        EXPECT_EQ(encode(power), reference::toBytes(expected.get())) << "round " << round;
    }

    FieldElement zero, result;
    feSetInt(zero, 0);
    fePow(result, zero, 0);
    EXPECT_EQ(encode(result), Bytes32{});
    fePow(result, one, 0);
    EXPECT_EQ(encode(result), encode(one));
    // p itself is zero: its inverse is zero too.
    fePow(result, primeLimbs(), 0);
    EXPECT_EQ(encode(result), Bytes32{});
}

TEST(FieldAtLeastP, DecidesAtTheBoundary) {
    FieldElement p = primeLimbs();
    EXPECT_TRUE(feAtLeastP(p));

    FieldElement pMinusOne = p;
    pMinusOne.limb[0] -= 1;
    EXPECT_FALSE(feAtLeastP(pMinusOne));

    // One limb below its maximum anywhere above l0 puts the value below p.
    for (size_t i = 1; i < kFieldLimbs; ++i) {
        FieldElement below = p;
        below.limb[0] = kEvenMax;
        below.limb[i] -= 1;
        EXPECT_FALSE(feAtLeastP(below)) << "limb " << i;
    }

    FieldElement top{};
    top.limb[9] = 1 << 25;  // exactly 2^255
    EXPECT_TRUE(feAtLeastP(top));
    top.limb[9] = (1 << 25) - 1;
    EXPECT_FALSE(feAtLeastP(top));
    top.limb[9] = -1;
    EXPECT_FALSE(feAtLeastP(top));
}

TEST(FieldEncoding, RoundTripsAndReducesNonCanonicalInput) {
    FieldElement x;
    const Bytes32 pMinusOne = bytesOfPrimeMinus(1);
    feDecode(x, pMinusOne);
    EXPECT_EQ(encode(x), pMinusOne);

    // p .. 2^255 - 1 are the non-canonical encodings below 2^255: they stand for 0 .. 18.
    for (uint32_t excess = 0; excess < 19; ++excess) {
        Bignum n = reference::copyOf(reference::prime());
        BN_add_word(n.get(), excess);
        feDecode(x, reference::toBytes(n.get()));
        FieldElement normalised;
        feMulInt(normalised, x, 1);
        EXPECT_EQ(encode(normalised), reference::toBytes(reference::fromWord(excess).get()));
        EXPECT_EQ(encode(x), reference::toBytes(reference::fromWord(excess).get()));
    }

    // The largest inputs, at and above 2p, still come out canonical.
    Bytes32 allOnes;
    allOnes.fill(0xff);
    feDecode(x, allOnes);
    Bignum expected = reference::fromBytes(allOnes);
    BN_nnmod(expected.get(), expected.get(), reference::prime(), reference::context());
    EXPECT_EQ(encode(x), reference::toBytes(expected.get()));

    RandomElements random(5);
    for (int round = 0; round < 200; ++round) {
        const Bytes32 bytes = random.bytes();
        feDecode(x, bytes);
        Bignum value = reference::fromBytes(bytes);
        BN_nnmod(value.get(), value.get(), reference::prime(), reference::context());
        ASSERT_EQ(encode(x), reference::toBytes(value.get())) << "round " << round;
        // The limbs must hold exactly the number, not only something congruent to it.
        EXPECT_EQ(BN_cmp(reference::fromLimbs(x).get(), value.get()), 0);
    }
}

TEST(FieldEncoding, NegativeValuesWrapToCanonical) {
    FieldElement zero, small, negative;
    feSetInt(zero, 0);
    for (uint32_t k : {1u, 19u, 20u, 1u << 26}) {
        feSetInt(small, k);
        feSub(negative, zero, small);
        EXPECT_EQ(encode(negative), bytesOfPrimeMinus(k)) << "k " << k;
        feMulInt(negative, negative, 1);
        EXPECT_EQ(encode(negative), bytesOfPrimeMinus(k)) << "k " << k;
    }
    // A negative top limb alone: -2^230, which must come out as p - 2^230.
    FieldElement minusOne{};
    minusOne.limb[9] = -1;
    Bignum expected = reference::copyOf(reference::prime());
    Bignum top = reference::fromWord(1);
    BN_lshift(top.get(), top.get(), 230);
    BN_sub(expected.get(), expected.get(), top.get());
    EXPECT_EQ(encode(minusOne), reference::toBytes(expected.get()));

    // -2^255 = -19: the folded top borrows through every zero limb, leaving the carried top
    // limb at -1, and must still come out as p - 19.
    FieldElement minusTop{};
    minusTop.limb[9] = -(1 << 25);
    EXPECT_EQ(encode(minusTop), bytesOfPrimeMinus(19));
}

TEST(FieldParity, FollowsTheCanonicalValue) {
    RandomElements random(7);
    for (int round = 0; round < 100; ++round) {
        const FieldElement x = random.anyInput();
        EXPECT_EQ(feIsOdd(x), BN_is_odd(reference::fromLimbs(x).get()) ? 1u : 0u)
            << "round " << round;
    }
    // p + 1 is 1 although its lowest limb is even.
    FieldElement pPlusOne = primeLimbs();
    pPlusOne.limb[0] += 1;
    EXPECT_EQ(feIsOdd(pPlusOne), 1u);
}
