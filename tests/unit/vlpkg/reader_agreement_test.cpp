// The installer's reader takes from the writer's packages exactly what was described.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "package/package_reader.h"
#include "support/test_packages.h"
#include "vlpkg/signing_key.h"

using namespace velmara;

namespace {

void expectSameEntries(const std::vector<DependencyEntry>& read,
                       const std::vector<DependencyEntry>& written) {
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].name, written[i].name);
        EXPECT_EQ(read[i].minVersion, written[i].minVersion);
        EXPECT_EQ(read[i].maxVersion, written[i].maxVersion);
        EXPECT_EQ(read[i].priority, written[i].priority);
    }
}

const std::vector<uint32_t> kInstallTypes = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
const std::vector<uint32_t> kScanTypes = {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};

TEST(ReaderAgreementTest, HeaderFieldsTextsAndLists) {
    vlpkg::PackageSpec description =
        testsupport::simplePackage("abcdefghijklmnop", "6.48.2", {{"a", "b"}});
    description.flags = 0x80000001;
    description.text24 = "twenty-four";
    description.architecture = "powerpc";
    description.text2 = "two";
    description.note = "a note";
    description.depends = {{"base", 0x06306600, 0, 0}, {"lib", 0, 0x07000000, 0}};
    description.provides = {{"web", 0x06306600, 0x07016203, -7}};
    description.conflicts = {{"old", 0, 0, 0}};
    description.image = vlpkg::Content{.bytes = "img", .hostPath = {}};
    const std::string bytes = testsupport::signedBytes(testsupport::packageBytes(description));

    std::istringstream in(bytes);
    PackageReader reader(in, true);
    ASSERT_TRUE(reader);
    reader.wantedTypes = kScanTypes;
    ASSERT_EQ(reader.nextPart(), PartType::Header);
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, reader));
    EXPECT_EQ(record.name, description.name);
    EXPECT_EQ(record.version, description.version);
    EXPECT_EQ(record.buildTime, description.buildTime);
    EXPECT_EQ(record.flags, *description.flags);
    EXPECT_EQ(record.text24, description.text24);
    EXPECT_EQ(record.architecture, description.architecture);
    EXPECT_EQ(record.text2, description.text2);
    EXPECT_EQ(record.note, description.note);
    EXPECT_TRUE(record.hasImage);
    EXPECT_FALSE(record.isBundle);
    expectSameEntries(record.depends, description.depends);
    expectSameEntries(record.provides, description.provides);
    expectSameEntries(record.conflicts, description.conflicts);
    EXPECT_EQ(reader.declaredSize(), bytes.size());
}

TEST(ReaderAgreementTest, InstallOrderReachesFilesAndSignatureWithTheSignedDigest) {
    const std::string bytes = testsupport::signedBytes(
        testsupport::packageBytes(testsupport::simplePackage("p", "7.1", {{"a", "b"}})));
    std::istringstream in(bytes);
    PackageReader reader(in, true);
    reader.wantedTypes = kInstallTypes;
    ASSERT_EQ(reader.nextPart(), PartType::Header);
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, reader));
    EXPECT_EQ(record.architecture, "i386");  // no architecture part written
    EXPECT_EQ(record.flags, 0u);             // no flags word written
    ASSERT_EQ(reader.partType(), PartType::Files);
    ASSERT_EQ(reader.nextPart(), PartType::Signature);
    reader.parts().finishDigest();
    EXPECT_TRUE(reader.parts().usesSha256());
    char signature[132];
    ASSERT_EQ(reader.parts().readUnhashed(signature, sizeof signature), sizeof signature);
    // The reader's digest is the message the tool signed.
    vlpkg::KeyHandle key = vlpkg::loadPublicKey(testsupport::developmentPublicKey());
    ASSERT_TRUE(key);
    vlpkg::Ed25519Signature ed25519;
    std::memcpy(ed25519.data(), signature + 68, ed25519.size());
    EXPECT_TRUE(vlpkg::verifyMessage(key.get(), reader.parts().digest().data(), 32, ed25519));
    ed25519[0] ^= 1;
    EXPECT_FALSE(vlpkg::verifyMessage(key.get(), reader.parts().digest().data(), 32, ed25519));
    EXPECT_EQ(reader.nextPart(), PartType::None);
    EXPECT_EQ(testsupport::verifyEd25519(bytes), std::vector<bool>{true});
}

TEST(ReaderAgreementTest, BundleMembersFollowTheBundleHeader) {
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = 0x07016600;
    bundle.note = "bundle note";
    bundle.disabledMembers = {{"two", 0, 0, 0}};
    bundle.members = {testsupport::simplePackage("one", "7.1", {{"1", "1"}}),
                      testsupport::simplePackage("two", "7.1rc1", {{"2", "2"}})};
    const std::string bytes = testsupport::signedBytes(testsupport::bundleBytes(bundle));
    std::istringstream in(bytes);
    PackageReader reader(in, true);
    reader.wantedTypes = kInstallTypes;
    ASSERT_EQ(reader.nextPart(), PartType::BundleHeader);
    PackageRecord record;
    ASSERT_TRUE(readPackageHeader(record, reader));
    EXPECT_TRUE(record.isBundle);
    EXPECT_EQ(record.name, "suite");
    EXPECT_TRUE(record.hasImage);
    ASSERT_EQ(reader.partType(), PartType::Image);
    ASSERT_EQ(reader.nextPart(), PartType::DisabledMembers);
    std::vector<DependencyEntry> disabled;
    ASSERT_TRUE(readEntryPart(reader, disabled));
    expectSameEntries(disabled, bundle.disabledMembers);
    std::vector<std::string> members;
    for (int32_t type = reader.nextPart(); type == PartType::Header;) {
        PackageRecord member;
        ASSERT_TRUE(readPackageHeader(member, reader));
        members.push_back(recordName(member));
        ASSERT_EQ(reader.partType(), PartType::Files);
        ASSERT_EQ(reader.nextPart(), PartType::Signature);
        type = reader.nextPart();
    }
    EXPECT_EQ(members, (std::vector<std::string>{"one-7.1", "two-7.1rc1"}));
    EXPECT_EQ(reader.partType(), PartType::None);
}

}  // namespace
