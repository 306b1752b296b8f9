// Inspecting packages: what the writer put in comes back out, damage is reported, and no input
// makes the inspector fail in any other way.
#include "vlpkg/package_inspector.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>

#include "support/test_packages.h"

using namespace velmara;

namespace {

using testsupport::parts;
using testsupport::RawPart;

bool inspect(const std::string& bytes, vlpkg::Inspection& inspection) {
    std::istringstream in(bytes);
    std::string problem;
    return vlpkg::inspectPackage(in, inspection, problem);
}

vlpkg::PackageSpec fullSpec() {
    vlpkg::PackageSpec description = testsupport::simplePackage("webui", "7.1beta3");
    description.buildTime = 86400;
    description.flags = 0x5;
    description.text24 = "t24";
    description.architecture = "powerpc";
    description.text2 = "t2";
    description.note = "web interface";
    description.depends = {{"base", 0x07006600, 0x07026600, 0}};
    description.provides = {{"http", 0, 0, -2}};
    description.conflicts = {{"oldweb", 0, 0x06306600, 0}};
    description.image = vlpkg::Content{.bytes = "img", .hostPath = {}};
    description.files = {{"www/index.html", 0x81A4, 0, {"<html>", {}}},
                  {"bin/httpd", 0x81ED, 2, {"elf-2", {}}},
                  {"bin/httpd", 0x81ED, 1, {"elf-one", {}}},
                  {"www/img", 0x41ED, 0, {"", {}}}};
    return description;
}

TEST(PackageInspectorTest, WhatWasWrittenReadsBack) {
    const std::string bytes = testsupport::signedBytes(testsupport::packageBytes(fullSpec()));
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(bytes, inspection));
    EXPECT_FALSE(vlpkg::isDamaged(inspection)) << inspection.damage;
    EXPECT_EQ(inspection.fileSize, bytes.size());
    EXPECT_EQ(inspection.declaredSize, bytes.size());
    EXPECT_EQ(inspection.magic, 0xBAD0F11Eu);

    const std::vector<RawPart> split = parts(bytes);
    ASSERT_EQ(inspection.parts.size(), split.size());
    for (size_t i = 0; i < split.size(); ++i) {
        EXPECT_EQ(inspection.parts[i].type, split[i].type) << i;
        EXPECT_EQ(inspection.parts[i].offset, split[i].offset) << i;
        EXPECT_EQ(inspection.parts[i].length, split[i].payload.size()) << i;
    }
    const auto& p = inspection.parts;
    ASSERT_EQ(p.size(), 12u);  // marker, header, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9
    EXPECT_EQ(p[1].name, "webui");
    EXPECT_EQ(p[1].version, 0x07016203u);
    EXPECT_EQ(p[1].buildTime, 86400u);
    EXPECT_TRUE(p[1].hasFlags);
    EXPECT_EQ(p[1].flags, 5u);
    EXPECT_EQ(p[2].text, "t24");
    EXPECT_EQ(p[3].text, "powerpc");
    EXPECT_EQ(p[4].text, "t2");
    EXPECT_EQ(p[5].text, "web interface");
    ASSERT_EQ(p[6].entries.size(), 1u);
    EXPECT_EQ(p[6].entries[0].maxVersion, 0x07026600u);
    ASSERT_EQ(p[7].entries.size(), 1u);
    EXPECT_EQ(p[7].entries[0].priority, -2);
    EXPECT_EQ(p[8].entries[0].name, "oldweb");
    EXPECT_EQ(p[9].length, 3u);

    std::vector<std::string> files;
    for (const vlpkg::FileEntryInfo& f : p[10].files)
        files.push_back(std::to_string(f.mode) + " " + std::to_string(f.variant) + " " +
                        std::to_string(f.size) + " " + f.name);
    EXPECT_EQ(files, (std::vector<std::string>{"33261 1 7 bin/httpd", "33261 2 5 bin/httpd",
                                               "16877 0 0 www/img", "33188 0 6 www/index.html"}));
    EXPECT_EQ(p[10].fileCount, 4u);
    EXPECT_EQ(p[10].trailingBytes, 0u);

    EXPECT_TRUE(p[11].signature.ed25519);
    EXPECT_FALSE(p[11].signature.legacy);
    EXPECT_TRUE(p[11].signature.sha256);
    ASSERT_EQ(inspection.packages.size(), 1u);
    EXPECT_TRUE(inspection.packages[0].signedPart);
    EXPECT_TRUE(inspection.packages[0].signature.ed25519);
}

TEST(PackageInspectorTest, TextOutput) {
    vlpkg::PackageSpec description = testsupport::simplePackage("a", "7.1", {{"bin/a", "x"}});
    description.buildTime = 0;
    description.note = "say \"hi\"\n\xff";
    description.files.push_back({"bin/l", 0xA1FF, 0, {"a", {}}});  // a link to "a"
    std::string bytes = testsupport::packageBytes(description);
    testsupport::appendPart(bytes, 99, "??");
    testsupport::appendPart(bytes, 9, std::string(20, '\0') + std::string(48, '\1'));
    const std::vector<RawPart> split = parts(bytes);
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(bytes, inspection));
    std::ostringstream out;
    vlpkg::printInspection(inspection, "a.vlp", out);
    const std::string size = std::to_string(bytes.size());
    const std::string filesLength = std::to_string(split[2].payload.size());
    const uint64_t unknownAt = split[3].offset, signatureAt = split[4].offset;
    EXPECT_EQ(
        out.str(), "file a.vlp: " + size + " bytes, declared " + size +
                       ", magic 0xbad0f11e (package)\n"
                       "part 1 header at 8, 32 bytes\n"
                       "  name \"a\", version 7.1 (0x07016600)\n"
                       "  build time 0 (1970-01-01 00:00:00 UTC)\n"
                       "  flags none (no flags word)\n"
                       "part 23 note at 46, 10 bytes\n"
                       "  text \"say \\\"hi\\\"\\x0a\\xff\"\n"
                       "part 4 files at 62, " +
                       filesLength +
                       " bytes\n"
                       "  file 100644 variant 0 size 1 \"bin/a\"\n"
                       "  file 120777 variant 0 size 1 \"bin/l\" -> \"a\"\n"
                       "  2 entries, 72 bytes inflated\n"
                       "part 99 unknown at " +
                       std::to_string(unknownAt) +
                       ", 2 bytes\n"
                       "part 9 signature at " +
                       std::to_string(signatureAt) +
                       ", 68 bytes\n"
                       "  ed25519 absent, legacy present\n"
                       "  digest sha1 " +
                       std::string() +
                       [&] {
                           std::string hex;
                           for (size_t i = 0; i < 20; ++i) {
                               char two[3];
                               std::snprintf(two, sizeof two, "%02x",
                                             inspection.parts[4].signature.digest[i]);
                               hex += two;
                           }
                           return hex;
                       }() +
                       "\n"
                       "package a-7.1: legacy\n");
}

TEST(PackageInspectorTest, JsonOutputEscapesTexts) {
    vlpkg::PackageSpec description = testsupport::simplePackage("j", "7.1rc1");
    description.files = {{"l", 0xA1FF, 0, {"t", {}}}};
    description.buildTime = 1;
    description.note = "q\"\\\x01";
    description.depends = {{"base", 0x07006600, 0, 3}};
    const std::string bytes = testsupport::packageBytes(description);
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(bytes, inspection));
    std::ostringstream out;
    vlpkg::printInspectionJson(inspection, "j.vlp", out);
    EXPECT_EQ(out.str(),
              "{\"file\":\"j.vlp\",\"size\":" + std::to_string(bytes.size()) +
                  ",\"declaredSize\":" + std::to_string(bytes.size()) +
                  ",\"magic\":\"0xbad0f11e\",\"damage\":null,\"parts\":["
                  "{\"type\":1,\"kind\":\"header\",\"offset\":8,\"length\":32,\"name\":\"j\","
                  "\"version\":\"7.1rc1\",\"versionCode\":117531393,\"buildTime\":1,\"flags\":null,"
                  "\"problem\":null},"
                  "{\"type\":23,\"kind\":\"note\",\"offset\":46,\"length\":4,"
                  "\"text\":\"q\\\"\\\\\\u0001\",\"textCut\":false,\"problem\":null},"
                  "{\"type\":3,\"kind\":\"depends\",\"offset\":56,\"length\":34,\"entries\":["
                  "{\"name\":\"base\",\"minVersion\":\"7.0\",\"maxVersion\":null,\"priority\":3}],"
                  "\"problem\":null},"
                  "{\"type\":4,\"kind\":\"files\",\"offset\":96,\"length\":" +
                  std::to_string(parts(bytes)[3].payload.size()) +
                  ",\"files\":[{\"mode\":\"120777\",\"variant\":0,\"size\":1,\"name\":\"l\","
                  "\"target\":\"t\"}],\"fileCount\":1,\"inflatedSize\":32,\"trailingBytes\":0,"
                  "\"problem\":null}],"
                  "\"packages\":[{\"name\":\"j\",\"version\":\"7.1rc1\",\"bundle\":false,"
                  "\"signed\":false,\"schemes\":[]}]}\n");
}

TEST(PackageInspectorTest, EveryTruncationIsReportedAsDamage) {
    vlpkg::BundleSpec bundle;
    bundle.name = "b";
    bundle.version = 0x07016600;
    bundle.members = {fullSpec(), testsupport::simplePackage("m", "7.1", {{"f", "data"}})};
    const std::string whole = testsupport::signedBytes(testsupport::bundleBytes(bundle));
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(whole, inspection));
    EXPECT_FALSE(vlpkg::isDamaged(inspection));
    ASSERT_EQ(inspection.packages.size(), 3u);
    EXPECT_TRUE(inspection.packages[0].isBundle);
    EXPECT_TRUE(inspection.packages[1].signature.ed25519);
    EXPECT_TRUE(inspection.packages[2].signature.ed25519);

    for (size_t length = 0; length < whole.size(); ++length) {
        vlpkg::Inspection cut;
        const bool read = inspect(whole.substr(0, length), cut);
        // Too short for an outer header: refused outright; anything longer is damaged.
        EXPECT_EQ(read, length >= 8) << length;
        if (read) {
            EXPECT_TRUE(vlpkg::isDamaged(cut)) << length;
        }
    }
}

std::string deflated(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(out.data()), &size,
                       reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size())),
              Z_OK);
    out.resize(size);
    return out;
}

TEST(PackageInspectorTest, BrokenContainersAreNamed) {
    vlpkg::PackageSpec description = testsupport::simplePackage("c", "7.1");
    description.withFiles = false;
    const std::string head = testsupport::packageBytes(description);
    vlpkg::FileSpec file;
    file.name = "f";
    const std::string entry = vlpkg::encodeFileEntryHeader(file, 10) + "f0123456789";

    const std::pair<std::string, std::string> cases[] = {
        {deflated(entry).substr(0, 8), "the compressed data ends before its stream does"},
        {"\x79" + deflated(entry).substr(1), "corrupt compressed data after 0 inflated bytes"},
        {deflated(entry.substr(0, entry.size() - 3)), "the last file entry is cut short"},
        {deflated(entry.substr(0, 20)), "the last file entry is cut short"},
    };
    for (const auto& [payload, problem] : cases) {
        std::string bytes = head;
        testsupport::appendPart(bytes, 4, payload);
        vlpkg::Inspection inspection;
        ASSERT_TRUE(inspect(bytes, inspection));
        ASSERT_EQ(inspection.parts.size(), 2u);
        EXPECT_EQ(inspection.parts[1].problem, problem);
        EXPECT_TRUE(vlpkg::isDamaged(inspection));
    }

    // Bytes after the end of the stream are ignored by the installer: noted, not damage.
    std::string bytes = head;
    testsupport::appendPart(bytes, 4, deflated(entry) + "tail");
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(bytes, inspection));
    EXPECT_EQ(inspection.parts[1].trailingBytes, 4u);
    EXPECT_EQ(inspection.parts[1].fileCount, 1u);
    EXPECT_FALSE(vlpkg::isDamaged(inspection));
}

TEST(PackageInspectorTest, EmptyDependencyPartIsDamageOnlyOutsideTheTrailer) {
    const std::string signedFile =
        testsupport::signedBytes(testsupport::packageBytes(testsupport::simplePackage("t", "7.1")));
    std::string trailed = signedFile;
    testsupport::appendPart(trailed, 16, "powerpc");
    testsupport::appendPart(trailed, 3, "");
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(trailed, inspection));
    EXPECT_FALSE(vlpkg::isDamaged(inspection));

    // Among the header's lists, a dependency part without a count makes the header unreadable.
    vlpkg::PackageSpec description = testsupport::simplePackage("t", "7.1");
    description.withFiles = false;
    std::string early = testsupport::packageBytes(description);
    testsupport::appendPart(early, 3, "");
    ASSERT_TRUE(inspect(early, inspection));
    EXPECT_EQ(inspection.parts.back().problem, "entry list without a count");
}

TEST(PackageInspectorTest, OddPartsAreShownNotTrusted) {
    vlpkg::PackageSpec description = testsupport::simplePackage("o", "7.1");
    description.withFiles = false;
    std::string bytes = testsupport::packageBytes(description);
    // A header block of 34 bytes (no flags word), a count with no entries, a short signature.
    bytes = bytes.substr(0, 8) + testsupport::little16(1) + testsupport::little32(34) +
            bytes.substr(14, 32) + "xx";
    bytes.replace(4, 4, testsupport::little32(uint32_t(bytes.size() - 8)));
    testsupport::appendPart(bytes, 19, testsupport::little16(2));
    testsupport::appendPart(bytes, 9, std::string(67, '\7'));
    testsupport::appendPart(bytes, 24, std::string(5000, 't'));
    vlpkg::Inspection inspection;
    ASSERT_TRUE(inspect(bytes, inspection));
    ASSERT_EQ(inspection.parts.size(), 4u);
    EXPECT_FALSE(inspection.parts[0].hasFlags);
    EXPECT_EQ(inspection.parts[0].problem, "");
    EXPECT_EQ(inspection.parts[1].problem, "entry list cut short");
    EXPECT_TRUE(inspection.parts[2].signature.tooShort);
    EXPECT_FALSE(inspection.parts[2].signature.legacy);
    EXPECT_EQ(inspection.parts[3].text.size(), 4096u);
    EXPECT_TRUE(inspection.parts[3].textCut);

    // The installer refuses a bundle without members, and says nothing about it.
    vlpkg::BundleSpec empty;
    empty.name = "e";
    ASSERT_TRUE(inspect(testsupport::bundleBytes(empty), inspection));
    EXPECT_EQ(inspection.damage,
              "the bundle carries no member package, which the installer refuses");

    std::string problem;
    std::istringstream notPackage(std::string("GIF89a\1\0\0\0", 10));
    vlpkg::Inspection none;
    EXPECT_FALSE(vlpkg::inspectPackage(notPackage, none, problem));
    EXPECT_EQ(problem, "is not a package file (magic 0x38464947)");
}

}  // namespace
