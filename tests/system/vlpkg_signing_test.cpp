// Both signature schemes through the vlpkg binary: a package signed with both development keys
// verifies, a tampered copy does not, and the exit status tells scripts which happened.
#include <gtest/gtest.h>

#include "support/sandbox.h"
#include "support/test_packages.h"

namespace {

using testsupport::RunResult;

RunResult vlpkg(const std::vector<std::string>& args) {
    return testsupport::runProgram(VLPKG_BINARY, args);
}

TEST(VlpkgSigningTest, SignWithBothKeysThenVerify) {
    testsupport::TempDir dir;
    dir.write("tree/bin/tool", "tool\n", 0755);
    const std::string keys = std::string(SOURCE_DIR) + "/keys/development/";
    const std::string package = dir.file("tool.vlp");
    RunResult run = vlpkg({"build", "--name", "tool", "--version", "7.1beta3", "--build-time", "60",
                           "-o", package, dir.file("tree")});
    ASSERT_EQ(run.status, 0) << run.err;
    run = vlpkg({"sign", "--key", keys + "ed25519-private.pem", "--legacy-key",
                 keys + "legacy-private.hex", package, package});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");

    run = vlpkg({"verify", package});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "tool-7.1beta3: accepted by Ed25519 and by the older scheme\n");
    run = vlpkg({"inspect", package});
    EXPECT_NE(run.out.find("  ed25519 present, legacy present\n"), std::string::npos) << run.out;

    std::vector<testsupport::RawPart> parts;
    ASSERT_TRUE(testsupport::splitParts(dir.read("tool.vlp"), parts));
    ASSERT_EQ(testsupport::partTypes(parts), (std::vector<uint16_t>{25, 1, 4, 9}));
    const size_t files = parts[2].offset + 6;
    const size_t signature = parts[3].offset + 6;

    // The older half alone carries the package too: 7.1beta3 still allows that scheme.
    std::string bytes = dir.read("tool.vlp");
    bytes[signature + 100] ^= 0x01;  // inside the Ed25519 half
    dir.write("ed-damaged.vlp", bytes);
    run = vlpkg({"verify", dir.file("ed-damaged.vlp")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(
        run.out,
        "tool-7.1beta3: accepted by the older scheme; its Ed25519 signature does not verify\n");

    bytes = dir.read("tool.vlp");
    bytes[files + 2] ^= 0x01;  // inside the file container
    dir.write("tampered.vlp", bytes);
    run = vlpkg({"verify", dir.file("tampered.vlp")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "tool-7.1beta3: refused: its Ed25519 signature does not verify and its older-scheme "
              "signature does not match\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
