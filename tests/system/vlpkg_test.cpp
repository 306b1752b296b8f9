// The vlpkg binary as scripts call it: exit statuses, and what goes to standard output and
// standard error.
#include <gtest/gtest.h>

#include <random>

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

}  // namespace
