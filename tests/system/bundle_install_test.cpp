// Bundles installed from standard input through the built binary.
#include "install_fixture.h"
#include "support/package_bytes.h"

namespace installtest {
namespace {

vlpkg::BundleSpec suite(const std::string& versionText, std::vector<vlpkg::PackageSpec> members) {
    vlpkg::BundleSpec description;
    description.name = "suite";
    description.version = version(versionText);
    description.buildTime = 1700000000;
    description.members = std::move(members);
    return description;
}

// The same file with a part inserted before the part at `index` (outer length corrected).
std::string withPartBefore(const std::string& bytes, size_t index, uint16_t type,
                           const std::string& payload) {
    std::vector<testsupport::RawPart> parts;
    EXPECT_TRUE(testsupport::splitParts(bytes, parts));
    const size_t at = index < parts.size() ? parts[index].offset : bytes.size();
    std::string out = bytes.substr(0, at) + testsupport::little16(type) +
                      testsupport::little32(uint32_t(payload.size())) + payload + bytes.substr(at);
    out.replace(4, 4, testsupport::little32(uint32_t(out.size() - 8)));
    return out;
}

size_t partIndex(const std::string& bytes, uint16_t type, size_t nth = 0) {
    std::vector<testsupport::RawPart> parts;
    EXPECT_TRUE(testsupport::splitParts(bytes, parts));
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].type == type && nth-- == 0) return i;
    }
    ADD_FAILURE() << "no part " << type;
    return parts.size();
}

class BundleInstallTest : public InstallFixture {};

TEST_F(BundleInstallTest, MembersAreInstalledAndTheBundleIsKeptAsItsImage) {
    const std::string bytes =
        signedBundle(suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w"}}),
                                   package("vpn", "1.0", {{"lib/vpn", "v"}})}));
    const RunResult run = install(bytes);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_NE(run.out.find("installing suite-1.0 ["), std::string::npos) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/lib/wifi"), "w");
    EXPECT_EQ(sandbox.readFile("/flash/lib/vpn"), "v");
    EXPECT_EQ(entry("suite", "image"), bytes);
    EXPECT_EQ(entry("wifi", "files"), "flash/lib/wifi\n");
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));

    const RunResult show = install("", {"--show"});
    for (const char* line :
         {"            wifi  B           1.0", "             vpn  B           1.0",
          "           suite              1.0"})
        EXPECT_NE(show.out.find(line), std::string::npos) << line << "\n" << show.out;
}

TEST_F(BundleInstallTest, MembersListedAsDisabledAreInstalledDisabled) {
    vlpkg::BundleSpec description = suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w"}}),
                                           package("vpn", "1.0", {{"lib/vpn", "v"}})});
    description.disabledMembers = {{"vpn", 0, 0, 0}};
    const RunResult run = install(signedBundle(description));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_EQ(sandbox.readFile("/flash/lib/wifi"), "w");
    EXPECT_FALSE(sandbox.exists("/flash/lib/vpn"));
    EXPECT_EQ(sandbox.readFile("/flash/x/vpn/lib/vpn"), "v");
    EXPECT_EQ(entry("vpn", "disabled"), "auto\n");
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/wifi/disabled"));
}

TEST_F(BundleInstallTest, MemberAlreadyInstalledCountsAsInstalled) {
    installed(signedPackage(package("wifi", "1.0", {{"lib/wifi", "standalone"}})));
    const RunResult run =
        install(signedBundle(suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "member"}}),
                                           package("vpn", "1.0", {{"lib/vpn", "v"}})})));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_EQ(sandbox.readFile("/flash/lib/wifi"), "standalone");
    EXPECT_EQ(sandbox.readFile("/flash/lib/vpn"), "v");
    EXPECT_TRUE(sandbox.exists("/flash/var/pdb/suite/image"));
}

TEST_F(BundleInstallTest, MembersThatTheNewVersionDropsAreUninstalled) {
    installed(signedBundle(suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w1"}}),
                                         package("vpn", "1.0", {{"lib/vpn", "v"}})})));
    const std::string next =
        signedBundle(suite("2.0", {package("wifi", "2.0", {{"lib/wifi", "w2"}})}));
    const RunResult run = install(next);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_EQ(sandbox.readFile("/flash/lib/wifi"), "w2");
    EXPECT_FALSE(sandbox.exists("/flash/lib/vpn"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/vpn"));
    EXPECT_EQ(entry("suite", "image"), next);
}

TEST_F(BundleInstallTest, SameVersionNeedsReinstallAndThenPassesItsMembersOver) {
    const std::string bytes =
        signedBundle(suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w"}})}));
    installed(bytes);
    const std::string before = snapshot();
    expectUntouched(install(bytes), before, 2,
                    "WARNING: omitting package suite-1.0: it is already installed\n");

    const RunResult run = install(bytes, {"--reinstall"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/lib/wifi"), "w");
    EXPECT_EQ(entry("suite", "image"), bytes);
}

TEST_F(BundleInstallTest, MalformedBundlesAreRefusedWithTheirResults) {
    installed(signedPackage(package("base", "1.0")));
    const std::string before = snapshot();

    // No member at all.
    expectUntouched(install(testsupport::bundleBytes(suite("1.0", {}))), before, 3, "");

    // A member that bears its bundle's name.
    std::string named = signedBundle(suite("1.0", {package("suitf", "1.0", {{"lib/s", "s"}})}));
    named.replace(named.find("suitf"), 5, "suite");
    expectUntouched(install(named), before, 2, "");

    // A bundle with relations of its own.
    const std::string good = signedBundle(suite("1.0", {package("wifi", "1.0", {{"lib/w", "w"}})}));
    const std::string related =
        withPartBefore(good, partIndex(good, 21), 3, testsupport::entryList({{"base"}}));
    expectUntouched(install(related), before, 1, "");

    // Anything but an architecture part after the last member.
    expectUntouched(install(withPartBefore(good, 99, 17, testsupport::little16(0))), before, 2, "");
    const std::string archTrailer = withPartBefore(good, 99, 16, "i386");
    const RunResult run = install(archTrailer);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(entry("suite", "image"), archTrailer);
}

TEST_F(BundleInstallTest, FailingMemberFailsTheWholeBundle) {
    installed(signedPackage(package("system", "7.1")));
    const std::string before = snapshot();

    // The second member is not signed: the first one's files are dropped with it.
    vlpkg::BundleSpec mixed = suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w"}}),
                                            package("vpn", "1.0", {{"lib/vpn", "v"}})});
    std::string unsignedSecond = signedBundle(mixed);
    const size_t secondSignature = partIndex(unsignedSecond, 9, 1);
    std::vector<testsupport::RawPart> parts;
    ASSERT_TRUE(testsupport::splitParts(unsignedSecond, parts));
    unsignedSecond[parts[secondSignature].offset + 6 + 100] ^= 0x01;
    expectUntouched(install(unsignedSecond), before, 2,
                    "ERROR: installation of suite-1.0 failed: broken package\n");

    // A member that cannot be installed says why, though members are checked silently.
    vlpkg::BundleSpec needy = suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w"}})});
    needy.members[0].depends = {{"radio", 0, 0, 0}};
    expectUntouched(install(signedBundle(needy)), before, 2,
                    "ERROR: can not install wifi-1.0: radio is not installed, but is required\n");

    // So does one whose other version stays installed: the kept image would name this one.
    installed(signedBundle(suite("1.0", {package("wifi", "1.0", {{"lib/wifi", "w"}})})));
    const std::string withSuite = snapshot();
    needy = suite("2.0", {package("wifi", "2.0", {{"lib/wifi", "w2"}})});
    needy.members[0].depends = {{"radio", 0, 0, 0}};
    expectUntouched(install(signedBundle(needy)), withSuite, 2,
                    "ERROR: can not install wifi-2.0: radio is not installed, but is required\n");
}

}  // namespace
}  // namespace installtest
