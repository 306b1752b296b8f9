// Version texts read back into packed versions.
#include <gtest/gtest.h>

#include "pkgdb/package_record.h"

namespace {

TEST(ParseVersionTest, ReadsEveryReleaseKind) {
    const std::pair<const char*, PackageVersion> cases[] = {
        {"7.1beta3", 0x07016203}, {"6.48.2", 0x06306602}, {"7.12", 0x070C6600},
        {"7.1rc1", 0x07016301},   {"7.1rc", 0x07016300},  {"6.45alpha2", 0x062D6102},
        {"0.0", 0x00006600},      {"255.255.255", 0xFFFF66FF}, {"6.48.0", 0x06306600},
    };
    for (const auto& [text, expected] : cases) {
        PackageVersion version = 0;
        EXPECT_TRUE(parseVersion(text, version)) << text;
        EXPECT_EQ(version, expected) << text;
    }
}

TEST(ParseVersionTest, TextRoundTripsForEveryKindAndPatch) {
    for (uint8_t kind : {kReleaseAlpha, kReleaseBeta, kReleaseCandidate, kReleaseFinal}) {
        for (unsigned patch : {0u, 1u, 9u, 10u, 255u}) {
            for (auto [major, minor] : {std::pair{0u, 0u}, {6u, 48u}, {7u, 1u}, {255u, 255u}}) {
                const PackageVersion version = makeVersion(major, minor, kind, patch);
                PackageVersion parsed = 0;
                EXPECT_TRUE(parseVersion(versionText(version), parsed)) << versionText(version);
                EXPECT_EQ(parsed, version) << versionText(version);
            }
        }
    }
}

TEST(ParseVersionTest, RefusesMalformedTextAndLeavesTheVersion) {
    for (const char* text : {"", "7", "7.", ".1", "7.1.", "7..1", "256.1", "7.256", "7.1.256",
                             "1000.1", "7.1gamma2", "7.1.2.3", "-1.2", "7.1 ", " 7.1",
                             "7.1rc1x", "7.1beta-1", "7.1Beta3", "7,1", "7.1rc256", "7.1.x"}) {
        PackageVersion version = 0x12345678;
        EXPECT_FALSE(parseVersion(text, version)) << text;
        EXPECT_EQ(version, 0x12345678u) << text;
    }
}

}  // namespace
