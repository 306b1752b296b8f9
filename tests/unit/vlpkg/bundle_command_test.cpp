// "vlpkg bundle": members carried byte for byte with their signatures, and the files a bundle
// cannot carry refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "support/test_packages.h"
#include "vlpkg/commands.h"

using namespace velmara;

namespace {

using testsupport::parts;
using testsupport::runTool;
using testsupport::ToolRun;
using testsupport::RawPart;

class BundleCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core = testsupport::signedBytes(
            testsupport::packageBytes(testsupport::simplePackage("core", "7.2", {{"bin/c", "c"}})));
        dir.write("core.vlp", core);
        vlpkg::PackageSpec extraSpec = testsupport::simplePackage("extra", "7.2", {{"bin/e", "e"}});
        extraSpec.architecture = "powerpc";
        dir.write("extra.vlp", testsupport::packageBytes(extraSpec));  // unsigned
    }

    ToolRun bundle(std::vector<std::string> extra) {
        std::vector<std::string> args = {"bundle",    "--name", "suite",
                                         "--version", "7.2",    "--build-time",
                                         "99",        "-o",     dir.file("out.vlp")};
        args.insert(args.end(), extra.begin(), extra.end());
        return runTool(args);
    }

    testsupport::TempDir dir;
    std::string core;
};

TEST_F(BundleCommandTest, MembersAreCarriedWholeAfterTheBundleParts) {
    const ToolRun run = bundle({"--architecture", "powerpc", "--disabled", "extra",
                                dir.file("core.vlp"), dir.file("extra.vlp")});
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::string out = dir.read("out.vlp");
    const std::vector<RawPart> split = parts(out);
    ASSERT_EQ(testsupport::partTypes(split),
              (std::vector<uint16_t>{18, 16, 21, 20, 25, 1, 4, 9, 1, 16, 4}));
    EXPECT_EQ(split[0].payload.substr(0, 6), std::string("suite\0", 6));
    EXPECT_EQ(split[0].payload.substr(20, 4), testsupport::little32(99));
    EXPECT_EQ(split[2].payload, "");  // the default, empty image
    EXPECT_EQ(split[3].payload, vlpkg::encodeEntryList({{"extra", 0, 0, 0}}));
    // The signed member, byte for byte from its marker on, still verifies.
    EXPECT_EQ(out.substr(split[4].offset, split[8].offset - split[4].offset), core.substr(8));
    EXPECT_EQ(testsupport::verifyEd25519(out), std::vector<bool>{true});
    // Signing the bundle signs the member that was not.
    EXPECT_EQ(testsupport::verifyEd25519(testsupport::signedBytes(out)),
              (std::vector<bool>{true, true}));
}

TEST_F(BundleCommandTest, KeySignsEveryMember) {
    const ToolRun run = bundle({"--key", testsupport::developmentPrivateKey(), dir.file("core.vlp"),
                                dir.file("extra.vlp")});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(testsupport::verifyEd25519(dir.read("out.vlp")), (std::vector<bool>{true, true}));
}

TEST_F(BundleCommandTest, ImageChoices) {
    dir.write("image", "IMG");
    ASSERT_EQ(bundle({"--image", dir.file("image"), dir.file("core.vlp")}).status, 0);
    EXPECT_EQ(parts(dir.read("out.vlp"))[1].payload, "IMG");
    ASSERT_EQ(bundle({"--no-image", dir.file("core.vlp")}).status, 0);
    EXPECT_EQ(testsupport::partTypes(parts(dir.read("out.vlp"))),
              (std::vector<uint16_t>{18, 25, 1, 4, 9}));
}

TEST_F(BundleCommandTest, PartsAfterAMembersSignatureAreLeftOut) {
    std::string trailed = core;
    testsupport::appendPart(trailed, 16, "powerpc");
    testsupport::appendPart(trailed, 3, "");
    dir.write("trailed.vlp", trailed);
    ASSERT_EQ(bundle({dir.file("trailed.vlp"), dir.file("extra.vlp")}).status, 0);
    const std::string out = dir.read("out.vlp");
    EXPECT_EQ(testsupport::partTypes(parts(out)),
              (std::vector<uint16_t>{18, 21, 25, 1, 4, 9, 1, 16, 4}));
    EXPECT_EQ(testsupport::verifyEd25519(out), std::vector<bool>{true});

    std::string odd = core;
    testsupport::appendPart(odd, 23, "late note");
    dir.write("odd.vlp", odd);
    const ToolRun refused = bundle({dir.file("odd.vlp")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors, "ERROR: " + dir.file("odd.vlp") +
                                  " has a part of type 23 after its signature, which a bundle "
                                  "cannot carry\n");
}

TEST_F(BundleCommandTest, RefusesMembersABundleCannotHold) {
    vlpkg::BundleSpec inner;
    inner.name = "inner";
    inner.members = {testsupport::simplePackage("x", "7.1")};
    dir.write("inner.vlp", testsupport::bundleBytes(inner));
    vlpkg::PackageSpec alternative = testsupport::simplePackage("alt", "7.1");
    alternative.alternativeMagic = true;
    dir.write("alt.vlp", testsupport::packageBytes(alternative));
    dir.write("suite.vlp", testsupport::packageBytes(testsupport::simplePackage("suite", "7.1")));
    dir.write("cut.vlp", core.substr(0, core.size() - 10));
    dir.write("text.vlp", "just some text\n");
    dir.write("bad.vlp", testsupport::packageBytes(testsupport::simplePackage("web ui", "7.1")));
    ASSERT_EQ(runTool({"sign", "--legacy-key",
                       std::string(SOURCE_DIR) + "/keys/development/legacy-private.hex",
                       dir.file("extra.vlp"), dir.file("sha1.vlp")})
                  .status,
              0);

    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{dir.file("inner.vlp")}, dir.file("inner.vlp") + " is a bundle; bundles do not nest"},
        {{dir.file("alt.vlp")},
         dir.file("alt.vlp") + " has the alternative magic, which a bundle member cannot keep"},
        {{dir.file("suite.vlp")},
         dir.file("suite.vlp") + ": a member cannot have the bundle's name suite"},
        {{dir.file("core.vlp"), dir.file("core.vlp")},
         dir.file("core.vlp") + ": a member named core is already in the bundle"},
        {{dir.file("cut.vlp")},
         dir.file("cut.vlp") + " is damaged: the file ends inside its last part"},
        {{dir.file("text.vlp")},
         dir.file("text.vlp") + " is not a package file (magic 0x7473756a)"},
        {{dir.file("missing.vlp")}, "cannot read " + dir.file("missing.vlp")},
        {{dir.file("bad.vlp")},
         dir.file("bad.vlp") + ": package name \"web ui\" may not contain white space"},
        {{dir.file("core.vlp"), dir.file("sha1.vlp")},
         dir.file("sha1.vlp") + " is signed over a SHA-1 digest, but after a member with a marker "
                                "part its digest is SHA-256: put it first, or sign the bundle"},
        {{"--disabled", "nobody", dir.file("core.vlp")},
         "--disabled nobody names no member of the bundle"},
        {{}, "no member packages given (see vlpkg bundle --help)"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun run = bundle(args);
        EXPECT_NE(run.status, 0) << message;
        EXPECT_EQ(run.errors.substr(0, 7 + message.size()), "ERROR: " + message) << run.errors;
        EXPECT_EQ(access(dir.file("out.vlp").c_str(), F_OK), -1) << message;
    }
    // Before the marker, or signed anew with the bundle, the same member verifies.
    ASSERT_EQ(bundle({dir.file("sha1.vlp"), dir.file("core.vlp")}).status, 0);
    ASSERT_EQ(bundle({"--key", testsupport::developmentPrivateKey(), dir.file("core.vlp"),
                      dir.file("sha1.vlp")})
                  .status,
              0);
    EXPECT_EQ(testsupport::verifyEd25519(dir.read("out.vlp")), (std::vector<bool>{true, true}));
}

}  // namespace
