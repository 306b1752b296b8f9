// The writer's bytes held against the format's tables, written out by hand, and the layout and
// determinism of whole packages and bundles.
#include "vlpkg/package_writer.h"

#include <gtest/gtest.h>

#include <cctype>

#include "support/test_packages.h"

using namespace velmara;

namespace {

using testsupport::parts;
using testsupport::RawFileEntry;
using testsupport::RawPart;

// "1e f1 d0 ba" -> bytes; spaces and line breaks are only for reading.
std::string hex(const char* text) {
    std::string bytes;
    for (const char* p = text; *p;) {
        if (std::isspace(static_cast<unsigned char>(*p))) {
            ++p;
            continue;
        }
        bytes.push_back(char(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return bytes;
}

vlpkg::PackageSpec headerOnly() {
    vlpkg::PackageSpec description;
    description.name = "a";
    description.version = 0x01026600;  // 1.2
    description.buildTime = 0x11223344;
    description.withFiles = false;
    return description;
}

std::vector<RawFileEntry> containerEntries(const std::string& package) {
    std::vector<RawFileEntry> entries;
    for (const RawPart& part : parts(package)) {
        if (part.type != vlpkg::kPartFiles) continue;
        std::string inflated;
        EXPECT_TRUE(testsupport::inflateAll(part.payload, inflated));
        EXPECT_TRUE(testsupport::splitFileEntries(inflated, entries));
    }
    return entries;
}

TEST(PackageWriterGoldenTest, OuterHeaderAndHeaderPartWithoutFlagsWord) {
    const std::string expected =
        hex("1e f1 d0 ba  26 00 00 00"                         // magic, 38 bytes follow
            "01 00  20 00 00 00"                               // header part, 32-byte payload
            "61 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // "a", NUL padded
            "00 66 02 01"                                      // version 1.2
            "44 33 22 11"                                      // build time
            "00 00 00 00 00 00 00 00");                        // not interpreted
    EXPECT_EQ(testsupport::packageBytes(headerOnly()), expected);
}

TEST(PackageWriterGoldenTest, HeaderPartWithFlagsWordAndFullLengthName) {
    vlpkg::PackageSpec description = headerOnly();
    description.name = "abcdefghijklmnop";  // 16 characters: no terminator
    description.flags = 0x80000003;
    const std::string expected =
        hex("1e f1 d0 ba  2a 00 00 00"
            "01 00  24 00 00 00"
            "61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70"
            "00 66 02 01  44 33 22 11  00 00 00 00 00 00 00 00"
            "03 00 00 80");
    EXPECT_EQ(testsupport::packageBytes(description), expected);
}

TEST(PackageWriterGoldenTest, EntryListWithBoundsAndNegativePriority) {
    const std::vector<DependencyEntry> entries = {
        {"base", 0x07006600, 0, 0},  // 7.0 or later
        {"web", 0, 0x07016203, -1},  // up to 7.1beta3, priority -1
    };
    const std::string expected =
        hex("02 00"
            "62 61 73 65 00 00 00 00 00 00 00 00 00 00 00 00"
            "00 66 00 07  00 00 00 00  00 00 00 00  00 00 00 00"
            "77 65 62 00 00 00 00 00 00 00 00 00 00 00 00 00"
            "00 00 00 00  00 00 00 00  03 62 01 07  ff ff ff ff");
    EXPECT_EQ(vlpkg::encodeEntryList(entries), expected);

    vlpkg::PackageSpec description = headerOnly();
    description.provides = entries;
    const std::vector<RawPart> split = parts(testsupport::packageBytes(description));
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[1].type, vlpkg::kPartProvides);
    EXPECT_EQ(split[1].payload, expected);
}

TEST(PackageWriterGoldenTest, TextPartsCarryTheTextOnly) {
    vlpkg::PackageSpec description = headerOnly();
    description.note = "hi";
    description.architecture = "powerpc";
    const std::string bytes = testsupport::packageBytes(description);
    const std::string tail =
        hex("10 00  07 00 00 00  70 6f 77 65 72 70 63"  // architecture "powerpc"
            "17 00  02 00 00 00  68 69");               // note "hi"
    ASSERT_GE(bytes.size(), tail.size());
    EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
    EXPECT_EQ(bytes.size(), 8 + 6 + 32 + tail.size());
}

TEST(PackageWriterGoldenTest, FileContainerEntry) {
    vlpkg::FileSpec file;
    file.name = "bin/x";
    file.mode = 0x81ED;  // regular, 0755
    file.variant = 3;
    file.content.bytes = "hello";
    const std::string expected =
        hex("ed 81"
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // 21 spare bytes
            "03"                                                              // variant
            "05 00 00 00"                                                     // size
            "05 00"                                                           // name length
            "62 69 6e 2f 78"                                                  // "bin/x"
            "68 65 6c 6c 6f");
    vlpkg::PackageSpec description = headerOnly();
    description.files = {file};
    std::vector<RawPart> split = parts(testsupport::packageBytes(description));
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[1].type, vlpkg::kPartFiles);
    // A zlib stream (RFC 1950 header) whose inflated content is exactly the entry.
    ASSERT_GE(split[1].payload.size(), 2u);
    EXPECT_EQ(split[1].payload[0], '\x78');
    std::string inflated;
    ASSERT_TRUE(testsupport::inflateAll(split[1].payload, inflated));
    EXPECT_EQ(inflated, expected);
}

TEST(PackageWriterGoldenTest, MarkerAndAlternativeMagic) {
    vlpkg::PackageSpec description = headerOnly();
    description.sha256Marker = true;
    description.alternativeMagic = true;
    const std::string bytes = testsupport::packageBytes(description);
    EXPECT_EQ(bytes.substr(0, 20),
              hex("fb 0f 10 a1  2c 00 00 00  19 00 00 00 00 00  01 00 20 00 00 00"));
}

TEST(PackageWriterTest, AbsentPartsAreLeftOutButAnEmptyContainerIsKept) {
    vlpkg::PackageSpec description = testsupport::simplePackage("bare", "7.1");
    description.image = vlpkg::Content{};
    const std::vector<RawPart> split = parts(testsupport::packageBytes(description));
    ASSERT_EQ(testsupport::partTypes(split), (std::vector<uint16_t>{1, 21, 4}));
    EXPECT_EQ(split[1].payload, "");
    std::string inflated;
    EXPECT_TRUE(testsupport::inflateAll(split[2].payload, inflated));
    EXPECT_EQ(inflated, "");
}

TEST(PackageWriterTest, EntriesAreSortedByNameThenVariantWhateverTheInputOrder) {
    auto make = [](std::vector<std::tuple<std::string, uint8_t, std::string>> files) {
        vlpkg::PackageSpec description = testsupport::simplePackage("sorted", "7.1");
        for (auto& [name, variant, data] : files) {
            vlpkg::FileSpec file;
            file.name = name;
            file.variant = variant;
            file.content.bytes = data;
            description.files.push_back(file);
        }
        return testsupport::packageBytes(description);
    };
    const std::string one = make({{"b", 0, "B"}, {"a", 2, "A2"}, {"a", 1, "A1"}, {"c/d", 0, "D"}});
    const std::string two = make({{"c/d", 0, "D"}, {"a", 1, "A1"}, {"b", 0, "B"}, {"a", 2, "A2"}});
    EXPECT_EQ(one, two);
    std::vector<std::string> order;
    for (const RawFileEntry& entry : containerEntries(one))
        order.push_back(entry.name + "/" + std::to_string(entry.variant) + "=" + entry.data);
    EXPECT_EQ(order, (std::vector<std::string>{"a/1=A1", "a/2=A2", "b/0=B", "c/d/0=D"}));
}

TEST(PackageWriterTest, RefusesWhatWouldNotReadBack) {
    testsupport::ConsoleCapture console;
    vlpkg::StringSink sink;
    vlpkg::PackageSpec longName = headerOnly();
    longName.name = "abcdefghijklmnopq";
    EXPECT_FALSE(vlpkg::writePackage(sink, longName));

    vlpkg::PackageSpec longEntry = headerOnly();
    longEntry.depends = {{"abcdefghijklmnopq", 0, 0, 0}};
    EXPECT_FALSE(vlpkg::writePackage(sink, longEntry));

    vlpkg::PackageSpec twice = testsupport::simplePackage("dup", "7.1", {{"a", "1"}, {"a", "2"}});
    EXPECT_FALSE(vlpkg::writePackage(sink, twice));
    EXPECT_NE(console.text().find("ERROR: file a is given twice for variant 0"), std::string::npos)
        << console.text();

    vlpkg::BundleSpec selfMember;
    selfMember.name = "b";
    selfMember.members = {testsupport::simplePackage("b", "7.1")};
    EXPECT_FALSE(vlpkg::writeBundle(sink, selfMember));
}

TEST(PackageWriterTest, FileDataStreamsFromHostFiles) {
    testsupport::TempDir dir;
    // Larger than every internal chunk, and not compressible to nothing.
    std::string big;
    uint32_t state = 12345;
    for (size_t i = 0; i < 3 * 1024 * 1024 + 17; ++i) {
        state = state * 1103515245u + 12345u;
        big.push_back(char(i % 3 == 0 ? state >> 24 : 'x'));
    }
    dir.write("big", big);
    dir.write("image", "the image");
    vlpkg::PackageSpec description = testsupport::simplePackage("big", "7.1");
    vlpkg::FileSpec file;
    file.name = "data/big";
    file.content.hostPath = dir.file("big");
    description.files = {file};
    description.image = vlpkg::Content{.bytes = {}, .hostPath = dir.file("image")};

    vlpkg::FileSink sink;
    ASSERT_TRUE(sink.open(dir.file("out.vlp")));
    ASSERT_TRUE(vlpkg::writePackage(sink, description));
    ASSERT_TRUE(sink.commit());
    const std::string written = dir.read("out.vlp");
    const std::vector<RawFileEntry> entries = containerEntries(written);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data.size(), big.size());
    EXPECT_TRUE(entries[0].data == big);
    EXPECT_EQ(parts(written)[1].payload, "the image");
    // The same description in memory gives the same bytes.
    description.files[0].content = vlpkg::Content{.bytes = big, .hostPath = {}};
    EXPECT_TRUE(testsupport::packageBytes(description) == written);
}

TEST(PackageWriterTest, MissingHostFileLeavesNoOutput) {
    testsupport::TempDir dir;
    testsupport::ConsoleCapture console;
    vlpkg::PackageSpec description = testsupport::simplePackage("gone", "7.1");
    vlpkg::FileSpec file;
    file.name = "x";
    file.content.hostPath = dir.file("missing");
    description.files = {file};
    {
        vlpkg::FileSink sink;
        ASSERT_TRUE(sink.open(dir.file("out.vlp")));
        EXPECT_FALSE(vlpkg::writePackage(sink, description));
    }
    EXPECT_NE(console.text().find("ERROR: cannot read " + dir.file("missing")), std::string::npos);
    EXPECT_EQ(system(("test -z \"$(ls -A " + dir.path() + ")\"").c_str()), 0)
        << "the temporary output was left behind";
}

TEST(PackageWriterTest, BundleLayout) {
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = 0x07016600;
    bundle.buildTime = 5;
    bundle.architecture = "powerpc";
    bundle.disabledMembers = {{"extra", 0, 0, 0}};
    bundle.members = {testsupport::simplePackage("core", "7.1", {{"bin/core", "c"}}),
                      testsupport::simplePackage("extra", "7.1", {{"bin/extra", "e"}})};
    bundle.members[1].sha256Marker = true;
    const std::vector<RawPart> split = parts(testsupport::bundleBytes(bundle));
    EXPECT_EQ(testsupport::partTypes(split),
              (std::vector<uint16_t>{18, 16, 21, 20, 1, 4, 25, 1, 4}));
    EXPECT_EQ(split[2].payload, "");  // the default image part is empty
    EXPECT_EQ(split[3].payload, vlpkg::encodeEntryList(bundle.disabledMembers));
    EXPECT_EQ(split[4].payload.substr(0, 4), "core");

    bundle.image.reset();
    EXPECT_EQ(testsupport::partTypes(parts(testsupport::bundleBytes(bundle))),
              (std::vector<uint16_t>{18, 16, 20, 1, 4, 25, 1, 4}));
}

}  // namespace
