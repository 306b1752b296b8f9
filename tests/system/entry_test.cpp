// The command line examined as a whole, through the built binary and through a chrooted child.
#include <gtest/gtest.h>
#include <unistd.h>

#include "frontend/command_line.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::RunResult;
using testsupport::RunSetup;
using testsupport::Sandbox;

const char* const kUsage = "usage: installer [-q] [-r <root>] [-]\n";

// Runs the entry function in a child whose root is the sandbox, as "--commit" expects.
RunResult runEntryInRoot(const Sandbox& sandbox, std::vector<std::string> args,
                         const RunSetup& setup = {}) {
    return testsupport::runInRoot(
        sandbox,
        [args]() mutable {
            std::vector<char*> argv{const_cast<char*>("installer")};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            return installerMain(static_cast<int>(argv.size() - 1), argv.data());
        },
        setup);
}

TEST(EntryTest, UnknownArgumentPrintsUsage) {
    Sandbox sandbox;
    const RunResult run = testsupport::runProgram(INSTALLER_BINARY, {"--bogus"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.err, "");
}

TEST(EntryTest, ValueOptionsGivenLastFallThroughToUsage) {
    for (const char* option : {"-r", "--month"}) {
        const RunResult run = testsupport::runProgram(INSTALLER_BINARY, {"-q", option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.out, kUsage) << option;
        EXPECT_EQ(run.err, "") << option;  // no root change was tried
    }
    // "--month" takes any value, even one that looks like an option.
    const RunResult skipped = testsupport::runProgram(INSTALLER_BINARY, {"--month", "--bogus", "--x"});
    EXPECT_EQ(skipped.out, kUsage);
}

TEST(EntryTest, EmulatedBoardDoesNothing) {
    for (auto args : std::vector<std::vector<std::string>>{{"--bogus"}, {"--commit"}, {}}) {
        const RunResult run =
            testsupport::runProgram(INSTALLER_BINARY, args, {.env = {{"board", "qemu_p9"}}});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
    }
    const RunResult other =
        testsupport::runProgram(INSTALLER_BINARY, {"--bogus"}, {.env = {{"board", "qemu_p9x"}}});
    EXPECT_EQ(other.out, kUsage);
}

TEST(EntryTest, ReinstallAnnouncesItselfEvenWhenQuiet) {
    const RunResult run = testsupport::runProgram(INSTALLER_BINARY, {"--reinstall", "-q", "-x"});
    EXPECT_EQ(run.out, std::string("\nResuming upgrade...\n") + kUsage);
}

TEST(EntryTest, FailedRootChangeIsReportedAndTheRunGoesOn) {
    const RunResult run = testsupport::runProgram(
        INSTALLER_BINARY, {"-r", "/nonexistent-root-dir", "--bogus"});
    EXPECT_EQ(run.out, kUsage);  // usage acts during examination, before any root change
}

class SavedOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ROOT_CHANGE();
        sandbox.writeFile("/ram/staged", "new data");
        sandbox.writeFile("/flash/obsolete", "old");
        sandbox.writeFile("/ram/MANIFEST",
                          "L /flash/current /flash/data\n"
                          "M /flash/data /ram/staged\n"
                          "U /flash/obsolete\n");
    }
    Sandbox sandbox;
};

TEST_F(SavedOperationsTest, CommitCarriesOutMoveLinkAndRemoval) {
    const RunResult run = runEntryInRoot(sandbox, {"--commit"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "finishing install... \b \n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sandbox.readFile("/flash/data"), "new data");
    char link[64] = {};
    ASSERT_GT(readlink(sandbox.path("/flash/current").c_str(), link, sizeof link - 1), 0);
    EXPECT_STREQ(link, "/flash/data");
    EXPECT_FALSE(sandbox.exists("/flash/obsolete"));
    // Gone with the commit, so that the set cannot be carried out twice.
    EXPECT_FALSE(sandbox.exists("/ram/MANIFEST"));
    const RunResult again = runEntryInRoot(sandbox, {"--commit"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out + again.err, "finishing install... \b \n");
    EXPECT_EQ(sandbox.readFile("/flash/data"), "new data");
}

TEST_F(SavedOperationsTest, CommitActsInTheCurrentRootWhateverRootIsGiven) {
    Sandbox elsewhere;
    const RunResult run = runEntryInRoot(sandbox, {"-r", elsewhere.root(), "--commit", "--bogus"});
    EXPECT_EQ(run.out, "finishing install... \b \n");
    EXPECT_EQ(sandbox.readFile("/flash/data"), "new data");
}

TEST_F(SavedOperationsTest, CancelForgetsTheSavedOperations) {
    const RunResult run = runEntryInRoot(sandbox, {"--cancel"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(sandbox.exists("/ram/MANIFEST"));
    EXPECT_TRUE(sandbox.exists("/ram/staged"));  // sources of a saved set are never deleted
    EXPECT_TRUE(sandbox.exists("/flash/obsolete"));
    EXPECT_FALSE(sandbox.exists("/flash/data"));
}

TEST_F(SavedOperationsTest, CommitWithoutSavedFileStillWritesItsLine) {
    ASSERT_EQ(unlink(sandbox.path("/ram/MANIFEST").c_str()), 0);
    const RunResult run = runEntryInRoot(sandbox, {"--commit"});
    EXPECT_EQ(run.out, "finishing install... \b \n");
    EXPECT_FALSE(sandbox.exists("/flash/data"));
}

TEST_F(SavedOperationsTest, BinaryCommitsAcrossFilesystemsWithSpinner) {
    // The binary with "-r" cannot reach "--commit" (it acts before the root change), so the
    // across-filesystems case runs in-process with "/ram" on a tmpfs of its own.
    const RunResult run = testsupport::runInRoot(
        sandbox,
        [] {
            FILE* f = fopen("/ram/staged", "w");
            fputs("on tmpfs", f);
            fclose(f);
            f = fopen("/ram/MANIFEST", "w");
            fputs("M /flash/data /ram/staged\n", f);
            fclose(f);
            char name[] = "installer";
            char commit[] = "--commit";
            char* argv[] = {name, commit, nullptr};
            return installerMain(2, argv);
        },
        {.mounts = {{"/ram", 1 << 20}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "finishing install... |\b \n");
    EXPECT_EQ(sandbox.readFile("/flash/data"), "on tmpfs");
}

}  // namespace
