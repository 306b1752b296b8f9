// Which signatures the installed binary accepts: Ed25519, the older scheme within its version
// policy, and "/ram/SECURE" turning the older scheme off.
#include "install_fixture.h"
#include "support/package_bytes.h"

namespace installtest {
namespace {

const std::string kLegacyKey = std::string(SOURCE_DIR) + "/keys/development/legacy-private.hex";

// Signs through the tool as a build system would: the older scheme alone, or both schemes.
std::string toolSigned(const std::string& bytes, bool withEd25519) {
    testsupport::TempDir work;
    work.write("in.vlp", bytes);
    std::vector<std::string> args = {"sign", "--legacy-key", kLegacyKey};
    if (withEd25519) args.insert(args.end(), {"--key", testsupport::developmentPrivateKey()});
    args.insert(args.end(), {work.file("in.vlp"), work.file("out.vlp")});
    const RunResult run = testsupport::runProgram(VLPKG_BINARY, args);
    EXPECT_EQ(run.status, 0) << run.err;
    return work.read("out.vlp");
}

std::string legacyOnly(const std::string& name, const std::string& versionText) {
    return toolSigned(testsupport::packageBytes(package(name, versionText, {{"bin/" + name, "x"}})),
                      false);
}

class InstallSignatureTest : public InstallFixture {};

TEST_F(InstallSignatureTest, OlderSchemeIsAcceptedOnlyWithinItsVersionPolicy) {
    const std::vector<std::pair<std::string, bool>> versions = {
        {"6.46.8", true},    {"6.46.9", false}, {"6.47", true},     {"6.48", true},
        {"6.48.1", false},   {"6.49", false},   {"7.0beta1", true}, {"7.1beta3", true},
        {"7.1beta4", false}, {"7.1", false},    {"7.2", false}};
    int n = 0;
    for (const auto& [versionText, accepted] : versions) {
        SCOPED_TRACE(versionText);
        // Appended, not inserted before: GCC 12 at -O3 reports a false overlap for "p" + string.
        std::string name = "p";
        name += std::to_string(n++);
        const RunResult run = install(legacyOnly(name, versionText));
        if (accepted) {
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(sandbox.readFile("/flash/bin/" + name), "x");
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(messagesOf(run.out), "ERROR: installation of " + name + "-" + versionText +
                                               " failed: broken package\n");
            EXPECT_FALSE(sandbox.exists("/flash/var/pdb/" + name));
        }
    }
    // The branding package keeps its older signatures on every version.
    EXPECT_EQ(install(legacyOnly("branding", "7.5")).status, 0);
    EXPECT_EQ(sandbox.readFile("/flash/bin/branding"), "x");
}

TEST_F(InstallSignatureTest, OlderSchemeDecidesWhenTheEd25519HalfIsDamaged) {
    const auto damaged = [](const std::string& bytes) {
        std::vector<testsupport::RawPart> parts;
        EXPECT_TRUE(testsupport::splitParts(bytes, parts));
        std::string copy = bytes;
        for (const auto& part : parts) {
            if (part.type == 9) copy[size_t(part.offset) + 6 + 100] ^= 0x01;
        }
        return copy;
    };
    const std::string old =
        toolSigned(testsupport::packageBytes(package("old", "6.46.8", {{"bin/old", "o"}})), true);
    const std::string recent = toolSigned(
        testsupport::packageBytes(package("recent", "7.2", {{"bin/recent", "r"}})), true);
    EXPECT_EQ(install(damaged(old)).status, 0);
    const std::string before = snapshot();
    expectUntouched(install(damaged(recent)), before, 1,
                    "ERROR: installation of recent-7.2 failed: broken package\n");
    // Undamaged, Ed25519 alone accepts it.
    EXPECT_EQ(install(recent).status, 0);
}

TEST_F(InstallSignatureTest, SecureMarkerTurnsTheOlderSchemeOff) {
    sandbox.writeFile("/ram/SECURE", "");
    const std::string before = snapshot();
    expectUntouched(install(legacyOnly("old", "6.46.8")), before, 1,
                    "ERROR: installation of old-6.46.8 failed: broken package\n");
    expectUntouched(install(legacyOnly("branding", "7.5")), before, 1,
                    "ERROR: installation of branding-7.5 failed: broken package\n");
    // Ed25519 is untouched by the marker, with or without the older half beside it.
    EXPECT_EQ(install(signedPackage(package("modern", "7.2", {{"bin/m", "m"}}))).status, 0);
    EXPECT_EQ(
        install(toolSigned(testsupport::packageBytes(package("both", "6.46.8", {{"bin/b", "b"}})),
                           true))
            .status,
        0);
    EXPECT_EQ(sandbox.readFile("/flash/bin/b"), "b");
}

}  // namespace
}  // namespace installtest
