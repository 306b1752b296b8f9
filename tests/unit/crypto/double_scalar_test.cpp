#include "crypto/double_scalar.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <utility>
#include <vector>

#include "bignum_reference.h"

using namespace velmara;

namespace {

using reference::Bignum;
using reference::Bytes32;
using reference::Point;

Bytes32 combine(const Bytes32& a, const Bytes32& b, const Bytes32& publicU) {
    Bytes32 out;
    doubleScalarU(out, a, b, publicU);
    return out;
}

Bytes32 small(uint32_t value) {
    Bytes32 bytes{};
    for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

Bytes32 clamp(Bytes32 scalar) {
    scalar[0] &= 0xf8;
    scalar[31] = static_cast<uint8_t>((scalar[31] & 0x7f) | 0x40);
    return scalar;
}

// u of [clamp(scalar)] * point(u), computed by libcrypto.
Bytes32 x25519(const Bytes32& scalar, const Bytes32& u) {
    Bytes32 out{};
    EVP_PKEY* own =
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), scalar.size());
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u.data(), u.size());
    EVP_PKEY_CTX* ctx = own ? EVP_PKEY_CTX_new(own, nullptr) : nullptr;
    size_t length = out.size();
    const bool ok = ctx && peer && EVP_PKEY_derive_init(ctx) == 1 &&
                    EVP_PKEY_derive_set_peer(ctx, peer) == 1 &&
                    EVP_PKEY_derive(ctx, out.data(), &length) == 1 && length == out.size();
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(own);
    EXPECT_TRUE(ok) << "libcrypto X25519 failed";
    return out;
}

// A public value as the signing tool makes it: u of [clamp(secret)]B.
Bytes32 publicKeyOf(const Bytes32& secret) {
    return x25519(secret, small(9));
}

Point basePoint() {
    return reference::liftEven(reference::fromWord(9).get());
}

// u([a]P + [b]B) with P the even-v point of publicU, all in plain BIGNUM affine arithmetic.
Bytes32 referenceCombination(const Bytes32& a, const Bytes32& b, const Bytes32& publicU) {
    const Point p = reference::liftEven(reference::fromBytes(publicU).get());
    EXPECT_FALSE(p.infinity) << "test key is not on the curve";
    return reference::encodeU(
        reference::add(reference::multiply(p, a), reference::multiply(basePoint(), b)));
}

class RandomBytes {
  public:
    explicit RandomBytes(uint32_t seed) : random_(seed) {}
    Bytes32 next() {
        Bytes32 bytes;
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random_());
        return bytes;
    }
    // A u-coordinate of some curve point, not necessarily in the prime-order subgroup.
    Bytes32 pointOnCurve() {
        for (;;) {
            Bytes32 u = next();
            u[31] &= 0x7f;
            if (!reference::liftEven(reference::fromBytes(u).get()).infinity) return u;
        }
    }

  private:
    std::mt19937 random_;
};

// The order of the base point: 2^252 + 27742317777372353535851937790883648493.
Bignum groupOrder() {
    Bignum order = reference::newBignum();
    BIGNUM* raw = order.get();
    BN_dec2bn(&raw, "7237005577332262213973186563042994240857116359379907606001950938285454250989");
    return order;
}

}  // namespace

TEST(DoubleScalarU, SmallScalarsGiveTheBasicPoints) {
    RandomBytes random(11);
    const Bytes32 key = publicKeyOf(random.next());
    EXPECT_EQ(combine(small(0), small(1), key), small(9));
    EXPECT_EQ(combine(small(0), small(0), key), Bytes32{});
    EXPECT_EQ(combine(small(1), small(0), key), key);
    EXPECT_EQ(combine(small(1), small(1), key), referenceCombination(small(1), small(1), key));
    for (uint32_t b : {2u, 3u, 5u, 255u, 256u, 257u}) {
        EXPECT_EQ(combine(small(0), small(b), key), referenceCombination(small(0), small(b), key))
            << "b " << b;
        EXPECT_EQ(combine(small(b), small(0), key), referenceCombination(small(b), small(0), key))
            << "a " << b;
    }
}

TEST(DoubleScalarU, StoredValueIsReducedAsDecoded) {
    // With a = 1 and b = 0 the result is the stored u itself, reduced modulo p; bit 255 counts
    // as 2^255.
    const Bytes32 canonical = small(12345);
    Bignum p = reference::copyOf(reference::prime());
    BN_add_word(p.get(), 12345);
    EXPECT_EQ(combine(small(1), small(0), reference::toBytes(p.get())), canonical);

    Bytes32 withTopBit = small(12345);
    withTopBit[31] |= 0x80;
    EXPECT_EQ(combine(small(1), small(0), withTopBit), small(12345 + 19));
}

TEST(DoubleScalarU, BaseOnlyMatchesLibcryptoX25519) {
    RandomBytes random(12);
    const Bytes32 key = publicKeyOf(random.next());
    for (int round = 0; round < 16; ++round) {
        const Bytes32 b = clamp(random.next());
        EXPECT_EQ(combine(small(0), b, key), x25519(b, small(9))) << "round " << round;
    }
}

TEST(DoubleScalarU, PublicOnlyMatchesLibcryptoX25519) {
    RandomBytes random(13);
    for (int round = 0; round < 16; ++round) {
        // Keys from the signing side, and points that carry a small-order component.
        const Bytes32 key = (round % 2) ? publicKeyOf(random.next()) : random.pointOnCurve();
        const Bytes32 a = clamp(random.next());
        EXPECT_EQ(combine(a, small(0), key), x25519(a, key)) << "round " << round;
    }
}

TEST(DoubleScalarU, CombinationMatchesReferenceArithmetic) {
    RandomBytes random(14);
    const Bytes32 key = publicKeyOf(random.next());
    const Bytes32 otherKey = random.pointOnCurve();

    std::vector<std::pair<Bytes32, Bytes32>> pairs;
    for (int round = 0; round < 8; ++round) pairs.emplace_back(random.next(), random.next());
    // Bit patterns that drive the control bits through all their cases.
    const Bytes32 x = random.next();
    Bytes32 complement = x;
    for (uint8_t& byte : complement) byte = static_cast<uint8_t>(~byte);
    Bytes32 xPlusOne = x;
    for (uint8_t& byte : xPlusOne) {
        if (++byte != 0) break;
    }
    Bytes32 allOnes;
    allOnes.fill(0xff);
    Bytes32 alternating;
    alternating.fill(0xaa);
    pairs.emplace_back(x, x);
    pairs.emplace_back(x, complement);
    pairs.emplace_back(x, xPlusOne);
    pairs.emplace_back(allOnes, allOnes);
    pairs.emplace_back(allOnes, small(0));
    pairs.emplace_back(alternating, complement);
    pairs.emplace_back(small(1), allOnes);
    pairs.emplace_back(clamp(random.next()), clamp(random.next()));

    for (size_t i = 0; i < pairs.size(); ++i) {
        const auto& [a, b] = pairs[i];
        const Bytes32& publicU = (i % 3 == 2) ? otherKey : key;
        EXPECT_EQ(combine(a, b, publicU), referenceCombination(a, b, publicU)) << "pair " << i;
    }
}

TEST(DoubleScalarU, CancellingCombinationIsZero) {
    // With P = [s]B, [a]P + [-a*s mod l]B is the neutral element; P's sign is whatever the
    // even v gives, which the reference tells.
    RandomBytes random(15);
    const Bytes32 secret = clamp(random.next());
    const Bytes32 key = publicKeyOf(secret);
    const Point stored = reference::liftEven(reference::fromBytes(key).get());
    const Point signing = reference::multiply(basePoint(), secret);
    ASSERT_FALSE(stored.infinity);
    ASSERT_EQ(BN_cmp(stored.u.get(), signing.u.get()), 0);
    const bool negated = BN_cmp(stored.v.get(), signing.v.get()) != 0;

    const Bignum order = groupOrder();
    const Bytes32 a = random.next();
    Bignum b = reference::newBignum();
    BN_mod_mul(b.get(), reference::fromBytes(a).get(), reference::fromBytes(secret).get(),
               order.get(), reference::context());
    if (!negated) BN_mod_sub(b.get(), order.get(), b.get(), order.get(), reference::context());
    EXPECT_EQ(combine(a, reference::toBytes(b.get()), key), Bytes32{});

    // [l]B alone is neutral too, and [l]P + B is B.
    const Bytes32 orderBytes = reference::toBytes(order.get());
    EXPECT_EQ(combine(small(0), orderBytes, key), Bytes32{});
    EXPECT_EQ(combine(orderBytes, small(1), key), small(9));
}

TEST(DoubleScalarU, TwiceBaseVIsTheEvenRootDoubled) {
    Bytes32 bytes;
    feEncode(bytes, kTwiceBaseV);
    const Bignum twice = reference::fromBytes(bytes);
    const Bignum root =
        reference::modMul(twice.get(), reference::modInverse(reference::fromWord(2).get()).get());
    EXPECT_FALSE(BN_is_odd(root.get()));
    EXPECT_EQ(BN_cmp(reference::modMul(root.get(), root.get()).get(),
                     reference::fromWord(kBaseVSquared).get()),
              0);
    EXPECT_EQ(BN_cmp(root.get(), basePoint().v.get()), 0);
}

TEST(DifferentialAdd, AddsProjectivePointsWithKnownDifference) {
    // [3]B + [2]B with difference B, the inputs scaled by arbitrary Z to exercise the
    // projective form.
    const Point base = basePoint();
    const Point two = reference::add(base, base);
    const Point three = reference::add(two, base);
    const Point five = reference::add(three, two);

    RandomBytes random(16);
    auto projective = [&](const Point& point, FieldElement& sum, FieldElement& difference) {
        FieldElement z, u, x;
        feDecode(z, random.next());
        feMulInt(z, z, 1);
        feDecode(u, reference::encodeU(point));
        feMul(x, u, z);
        feAdd(sum, x, z);
        feSub(difference, x, z);
    };
    FieldElement a, b, c, d, xd, x3, z3;
    projective(three, a, b);
    projective(two, c, d);
    feSetInt(xd, 9);
    differentialAdd(a, b, c, d, xd, x3, z3);

    FieldElement inverse, u;
    fePow(inverse, z3, 0);
    feMul(u, x3, inverse);
    Bytes32 bytes;
    feEncode(bytes, u);
    EXPECT_EQ(bytes, reference::encodeU(five));
}
