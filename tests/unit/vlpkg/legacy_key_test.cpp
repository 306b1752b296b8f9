// Older-scheme keys and signatures of the packaging tool: key texts, the public key against
// libcrypto's X25519, and signatures the installer's check accepts.
#include "vlpkg/legacy_key.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

using namespace velmara;

namespace {

vlpkg::LegacySecret secretFrom(uint8_t seed) {
    vlpkg::LegacySecret secret;
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = uint8_t(seed + 29 * i);
    secret[0] &= 0xF8;
    secret[31] = (secret[31] & 0x7F) | 0x40;
    return secret;
}

TEST(LegacyKey, HexTexts) {
    std::array<uint8_t, 32> bytes{};
    const std::string hex = "00ff10ab" + std::string(56, '7');
    ASSERT_TRUE(vlpkg::parseKeyHex("  " + hex + "\n", bytes));
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0x10);
    EXPECT_EQ(bytes[3], 0xAB);
    EXPECT_EQ(bytes[31], 0x77);
    EXPECT_EQ(vlpkg::keyHex(bytes), hex);
    ASSERT_TRUE(vlpkg::parseKeyHex("00FF10AB" + std::string(56, '7'), bytes));
    EXPECT_EQ(bytes[1], 0xFF);
    for (const std::string& bad : {hex.substr(1), hex + "0", hex.substr(0, 63) + "g",
                                   hex.substr(0, 32) + " " + hex.substr(32), std::string()})
        EXPECT_FALSE(vlpkg::parseKeyHex(bad, bytes)) << bad;
}

TEST(LegacyKey, PublicKeyIsTheBasePointMultiple) {
    for (uint8_t seed : {1, 2, 200}) {
        const vlpkg::LegacySecret secret = secretFrom(seed);
        EVP_PKEY* key =
            EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret.data(), secret.size());
        ASSERT_NE(key, nullptr);
        std::array<uint8_t, 32> expected{};
        size_t length = expected.size();
        ASSERT_EQ(EVP_PKEY_get_raw_public_key(key, expected.data(), &length), 1);
        EVP_PKEY_free(key);
        EXPECT_EQ(vlpkg::legacyPublicKey(secret), expected) << int(seed);
    }
}

TEST(LegacyKey, GeneratedSecretsAreClampedAndFresh) {
    vlpkg::LegacySecret a, b;
    ASSERT_TRUE(vlpkg::generateLegacySecret(a));
    ASSERT_TRUE(vlpkg::generateLegacySecret(b));
    EXPECT_NE(a, b);
    for (const auto& secret : {a, b}) {
        EXPECT_EQ(secret[0] & 0x07, 0);
        EXPECT_EQ(secret[31] & 0xC0, 0x40);
    }
}

TEST(LegacyKey, SignaturesVerifyAndAreDeterministic) {
    std::array<uint8_t, 20> digest;
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = uint8_t(i * i);
    for (uint8_t seed : {3, 4, 5, 6}) {
        const vlpkg::LegacySecret secret = secretFrom(seed);
        const LegacyPublicKey key = vlpkg::legacyPublicKey(secret);
        vlpkg::LegacySignature first, again;
        ASSERT_TRUE(vlpkg::legacySign(secret, digest, first));
        ASSERT_TRUE(vlpkg::legacySign(secret, digest, again));
        EXPECT_EQ(first, again);
        EXPECT_TRUE(legacySignatureMatches(digest, first, key)) << int(seed);
        // The uninterpreted bytes are zero; a is reduced below the group order (< 2^253).
        EXPECT_EQ(std::count(first.begin(), first.begin() + 20, 0), 20);
        EXPECT_LT(first[67], 0x20);
    }
}

}  // namespace
