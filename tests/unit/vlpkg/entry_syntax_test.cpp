// The command-line form of list entries.
#include "vlpkg/entry_syntax.h"

#include <gtest/gtest.h>

#include "support/test_packages.h"

using namespace velmara;

namespace {

struct Expected {
    const char* text;
    const char* name;
    PackageVersion minVersion;
    PackageVersion maxVersion;
    int32_t priority;
};

TEST(EntrySyntaxTest, ReadsNamesBoundsAndPriorities) {
    const Expected cases[] = {
        {"base", "base", 0, 0, 0},
        {"base:7.0", "base", 0x07006600, 0, 0},
        {"base::7.2", "base", 0, 0x07026600, 0},
        {"base:7.1beta3:7.2.1@5", "base", 0x07016203, 0x07026601, 5},
        {"base:7.1:", "base", 0x07016600, 0, 0},
        {"web@-1", "web", 0, 0, -1},
        {"web@-2147483648", "web", 0, 0, INT32_MIN},
        {"web@2147483647", "web", 0, 0, INT32_MAX},
        {"abcdefghijklmnop", "abcdefghijklmnop", 0, 0, 0},
        {"same:7.1:7.1", "same", 0x07016600, 0x07016600, 0},
    };
    for (const Expected& c : cases) {
        DependencyEntry entry;
        ASSERT_TRUE(vlpkg::parseEntry(c.text, entry)) << c.text;
        EXPECT_EQ(entry.name, c.name) << c.text;
        EXPECT_EQ(entry.minVersion, c.minVersion) << c.text;
        EXPECT_EQ(entry.maxVersion, c.maxVersion) << c.text;
        EXPECT_EQ(entry.priority, c.priority) << c.text;
    }
}

TEST(EntrySyntaxTest, RefusesMalformedEntriesWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "has no name"},
        {":7.0", "has no name"},
        {"abcdefghijklmnopq", "longer than 16 bytes"},
        {"base:7.x", "\"7.x\" is not a version"},
        {"base:7.0:seven", "\"seven\" is not a version"},
        {"base:7.2:7.0", "lowest version is above the highest"},
        {"web@", "is not a number"},
        {"web@1x", "is not a number"},
        {"web@0x10", "is not a number"},
        {"web@2147483648", "is not a number"},
        {"web@-2147483649", "is not a number"},
    };
    for (const auto& [text, reason] : cases) {
        testsupport::ConsoleCapture console;
        DependencyEntry entry{"kept", 1, 2, 3};
        EXPECT_FALSE(vlpkg::parseEntry(text, entry)) << text;
        EXPECT_EQ(entry.name, "kept") << text;
        EXPECT_NE(console.text().find(reason), std::string::npos) << text << ": " << console.text();
    }
}

TEST(EntrySyntaxTest, TextFormReadsBack) {
    for (const char* text : {"base", "base:7.0", "base::7.2", "base:7.1beta3:7.2.1@5", "web@-1"}) {
        DependencyEntry entry, again;
        ASSERT_TRUE(vlpkg::parseEntry(text, entry));
        EXPECT_EQ(vlpkg::entryText(entry), text);
        ASSERT_TRUE(vlpkg::parseEntry(vlpkg::entryText(entry), again));
        EXPECT_EQ(again.minVersion, entry.minVersion);
    }
}

TEST(EntrySyntaxTest, UnsignedNumbers) {
    uint64_t value = 0;
    EXPECT_TRUE(vlpkg::parseUnsigned("0x1F", 0xFF, value));
    EXPECT_EQ(value, 0x1Fu);
    EXPECT_TRUE(vlpkg::parseUnsigned("4294967295", 0xFFFFFFFF, value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    for (const char* bad : {"", "0x", "-1", "+1", "1 ", "4294967296", "99999999999999999999999"})
        EXPECT_FALSE(vlpkg::parseUnsigned(bad, 0xFFFFFFFF, value)) << bad;
    EXPECT_FALSE(vlpkg::parseUnsigned("256", 255, value));
}

}  // namespace
