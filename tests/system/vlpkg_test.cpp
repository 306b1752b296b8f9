// The vlpkg binary as scripts call it: exit statuses, and what goes to standard output and
// standard error.
#include <gtest/gtest.h>

#include <random>

#include "install_fixture.h"
#include "support/sandbox.h"
#include "support/test_packages.h"

namespace {

using testsupport::RunResult;

RunResult vlpkg(const std::vector<std::string>& args) {
    return testsupport::runProgram(VLPKG_BINARY, args);
}

TEST(VlpkgTest, BuildSignInspectThroughTheBinary) {
    testsupport::TempDir dir;
    dir.write("tree/bin/tool", "tool\n", 0755);
    dir.write("tree/etc/tool.conf", "x=1\n");
    const std::string package = dir.file("tool.vlp");
    RunResult run = vlpkg({"build", "--name", "tool", "--version", "7.1beta3", "--build-time", "60",
                           "--architecture", "powerpc", "--provides", "http::7.2@-1", "-o", package,
                           dir.file("tree")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");

    run = vlpkg({"sign", "--key", testsupport::developmentPrivateKey(), package, package});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(testsupport::verifyEd25519(dir.read("tool.vlp")), std::vector<bool>{true});

    run = vlpkg({"inspect", package});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* line :
         {"part 25 sha256-marker at 8, 0 bytes\n",
          "  name \"tool\", version 7.1beta3 (0x07016203)\n",
          "  build time 60 (1970-01-01 00:01:00 UTC)\n", "  text \"powerpc\"\n",
          "  entry http::7.2@-1  (min 0x00000000, max 0x07026600, priority -1)\n",
          "  file 100755 variant 0 size 5 \"bin/tool\"\n",
          "  file 100644 variant 0 size 4 \"etc/tool.conf\"\n",
          "  ed25519 present, legacy absent\n", "package tool-7.1beta3: ed25519\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;

    run = vlpkg({"inspect", "--json", package});
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("{\"file\":", 0), 0u);
    EXPECT_NE(run.out.find("\"packages\":[{\"name\":\"tool\",\"version\":\"7.1beta3\",\"bundle\":"
                           "false,\"signed\":true,\"schemes\":[\"ed25519\"]}]}\n"),
              std::string::npos)
        << run.out;
}

TEST(VlpkgTest, FailuresGoToStandardErrorWithAStatus) {
    RunResult run = vlpkg({"inspect"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ERROR: no file given (see vlpkg inspect --help)\n");
    run = vlpkg({});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "ERROR: no command given (see vlpkg --help)\n");
    run = vlpkg({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("usage: vlpkg COMMAND", 0), 0u);
}

TEST(VlpkgTest, GarbageIsReportedNotCrashedOn) {
    testsupport::TempDir dir;
    std::mt19937 random(7);
    const std::string valid = testsupport::signedBytes(
        testsupport::packageBytes(testsupport::simplePackage("g", "7.1", {{"a", "b"}})));
    for (int round = 0; round < 20; ++round) {
        std::string bytes = valid;
        // Keep the outer header now and then so the damage lies deeper in the file.
        for (size_t i = round % 2 ? 8 : 0; i < bytes.size(); ++i)
            if (random() % 8 == 0) bytes[i] = char(random());
        dir.write("g.vlp", bytes);
        for (const char* command : {"inspect", "sign"}) {
            std::vector<std::string> args = {command, dir.file("g.vlp")};
            if (std::string(command) == "sign")
                args = {"sign", "--key", testsupport::developmentPrivateKey(), dir.file("g.vlp"),
                        dir.file("out.vlp")};
            const RunResult run = vlpkg(args);
            EXPECT_LT(run.status, 128) << command << " round " << round << ": " << run.err;
            if (run.status != 0) {
                EXPECT_NE(run.err.find("ERROR: "), std::string::npos);
            }
        }
    }
}

// "vlpkg installed" reads a root that the installer itself filled, without changing into it.
class VlpkgInstalledTest : public installtest::InstallFixture {};

TEST_F(VlpkgInstalledTest, ListsWhatTheInstallerRecorded) {
    vlpkg::PackageSpec kept = installtest::package("img", "1.0", {{"bin/img", "i"}});
    kept.image = vlpkg::Content{};
    kept.note = "kept whole";
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = installtest::version("7.2");
    bundle.disabledMembers = {{"m2", 0, 0, 0}};
    bundle.members = {installtest::package("m1", "7.2", {{"bin/m1", "1"}}),
                      installtest::package("m2", "7.2", {{"bin/m2", "2"}})};
    installed(installtest::signedPackage(installtest::package("base", "7.1", {{"etc/b", "b"}})));
    installed(installtest::signedPackage(kept));
    installed(installtest::signedBundle(bundle));
    // What the next run will uninstall, and what it will be asked to do.
    sandbox.writeFile("/flash/var/pdb/junk/disabled", "auto\n");
    sandbox.writeFile("/ram/pdb/base/schedule", "disable\n");

    const std::string root = sandbox.root();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{},
         "NAME             VERSION       STATE            REMARKS\n"
         "base             7.1           enabled          scheduled: disable\n"
         "img              1.0           enabled\n"
         "junk             0.0           disabled (auto)  bundle, to be uninstalled: its version "
         "file is missing or malformed\n"
         "m1               7.2           enabled          from bundle suite\n"
         "m2               7.2           disabled (auto)  from bundle suite\n"
         "suite            7.2           enabled          bundle\n"},
        {{"img"},
         "img              1.0           enabled\n  built 2023-11-14 22:13:20 UTC\n"
         "  recorded through its image\n  note \"kept whole\"\n  file /flash/bin/img\n"},
        {{"--json", "m2"},
         "{\"root\":\"" + root +
             "\",\"packages\":[{\"name\":\"m2\",\"version\":\"7.2\","
             "\"versionCode\":117597696,\"buildTime\":1700000000,\"state\":\"disabled\","
             "\"chosenBy\":"
             "\"auto\",\"bundle\":false,\"memberOf\":\"suite\",\"recordedBy\":\"bundle-image\","
             "\"note\":null,\"scheduled\":null,\"problem\":null,\"depends\":[],\"provides\":[],"
             "\"conflicts\":[],\"files\":[\"/flash/x/m2/bin/m2\"]}]}\n"},
    };
    for (const auto& [extra, expected] : cases) {
        std::vector<std::string> args = {"installed", "--root", root};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult run = vlpkg(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, expected);
    }
    const RunResult unknown = vlpkg({"installed", "--root", root, "nope"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "ERROR: no package \"nope\" is installed in " + root + "\n");
    const RunResult empty = vlpkg({"installed", "--root", root + "/ram"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "ERROR: " + root + "/ram holds no package database (" + root +
                             "/ram/flash/var/pdb/ cannot be read)\n");
}

}  // namespace
