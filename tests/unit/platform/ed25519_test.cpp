// Ed25519 verification over libcrypto, on the second test vector of RFC 8032 (a one-byte
// message), and what breaks it.
#include "platform/ed25519.h"

#include <gtest/gtest.h>

#include <array>

#include "support/package_bytes.h"

using namespace velmara;

namespace {

template <size_t N>
std::array<uint8_t, N> bytesOf(const std::string& hex) {
    const std::string raw = testsupport::fromHex(hex);
    std::array<uint8_t, N> out{};
    EXPECT_EQ(raw.size(), N);
    std::copy(raw.begin(), raw.end(), out.begin());
    return out;
}

const auto kPublic =
    bytesOf<32>("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
const auto kSignature = bytesOf<64>(
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
    "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
const std::array<uint8_t, 1> kMessage{0x72};

TEST(Ed25519Verify, AcceptsTheStandardVector) {
    EXPECT_TRUE(ed25519Verify(kPublic, kMessage, kSignature));
}

TEST(Ed25519Verify, RefusesAnyChange) {
    const std::array<uint8_t, 1> otherMessage{0x73};
    EXPECT_FALSE(ed25519Verify(kPublic, otherMessage, kSignature));
    EXPECT_FALSE(ed25519Verify(kPublic, std::span<const uint8_t>(), kSignature));
    for (size_t i = 0; i < kSignature.size(); i += 7) {
        auto signature = kSignature;
        signature[i] ^= 0x01;
        EXPECT_FALSE(ed25519Verify(kPublic, kMessage, signature)) << i;
    }
    auto key = kPublic;
    key[5] ^= 0x20;
    EXPECT_FALSE(ed25519Verify(key, kMessage, kSignature));
    // Not a point at all: refused rather than trusted.
    std::array<uint8_t, 32> garbage;
    garbage.fill(0xFF);
    EXPECT_FALSE(ed25519Verify(garbage, kMessage, kSignature));
}

}  // namespace
