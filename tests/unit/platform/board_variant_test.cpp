// The board variant from the processor version register and the flash device's answer.
#include "platform/board_variant.h"

#include <gtest/gtest.h>

using namespace velmara;

namespace {

constexpr FlashVariantAnswer kUnopened{false, 0};
constexpr FlashVariantAnswer kFailedRequest{true, -1};
constexpr FlashVariantAnswer kSecondBoard{true, 0x10};
constexpr FlashVariantAnswer kFirstBoard{true, 0x2F};  // every bit but the variant bit

TEST(BoardVariant, SharedFamiliesAskTheFlashDevice) {
    for (uint32_t family : {0x80211000u, 0x80212100u}) {
        for (uint32_t revision : {0x00u, 0x42u, 0xFFu}) {
            const uint32_t pvr = family | revision;
            EXPECT_TRUE(needsFlashVariantRequest(pvr));
            EXPECT_EQ(variantFromRegister(pvr, kUnopened), 4);
            EXPECT_EQ(variantFromRegister(pvr, kFailedRequest), 2);
            EXPECT_EQ(variantFromRegister(pvr, kSecondBoard), 2);
            EXPECT_EQ(variantFromRegister(pvr, kFirstBoard), 4);
            EXPECT_EQ(variantFromRegister(pvr, {true, 0}), 4);
        }
    }
    // Neighbours of the two families are decided by the register alone.
    EXPECT_FALSE(needsFlashVariantRequest(0x80211100u));
    EXPECT_FALSE(needsFlashVariantRequest(0x80212000u));
    EXPECT_EQ(variantFromRegister(0x80212000u, kUnopened), 2);
    EXPECT_EQ(variantFromRegister(0x80201000u, kUnopened), 2);
}

TEST(BoardVariant, RegisterRules) {
    struct Case {
        uint32_t pvr;
        BoardVariant expected;
    };
    const Case cases[] = {
        {0x00200000u, 2},
        {0x00210123u, 2},
        {0x001F0000u, std::nullopt},
        {0x00220000u, std::nullopt},
        {0x00830000u, 1},
        {0x00840000u, 1},
        {0x0085FFFFu, 1},
        {0x00820000u, std::nullopt},
        {0x00860000u, std::nullopt},
        {0x13020000u, 3},
        {0x130200FFu, 3},
        {0x13030000u, std::nullopt},
        {0x02020000u, std::nullopt},
        {0x00000000u, std::nullopt},
        // The byte rule looks at bits 23..16 only, whatever is above them.
        {0x80840000u, 1},
        {0x13200000u, 2},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(needsFlashVariantRequest(c.pvr)) << std::hex << c.pvr;
        // The device's answer matters only to the shared families.
        EXPECT_EQ(variantFromRegister(c.pvr, kSecondBoard), c.expected) << std::hex << c.pvr;
        EXPECT_EQ(variantFromRegister(c.pvr, kUnopened), c.expected) << std::hex << c.pvr;
    }
}

TEST(BoardVariant, ThisMachine) {
    const BoardVariant variant = boardVariant();
#if defined(__powerpc__) || defined(__PPC__)
    if (variant) {
        EXPECT_GE(*variant, 1);
        EXPECT_LE(*variant, 4);
    }
#else
    // Only the router's processor has the register.
    EXPECT_FALSE(variant.has_value());
#endif
}

}  // namespace
