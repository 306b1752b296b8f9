// The default mode through the built binary: package files left in the download directories
// are chosen, installed all or nothing, and committed, saved or refused for lack of space.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "frontend/command_line.h"
#include "install_fixture.h"

using namespace velmara;

namespace {

using namespace installtest;

const char* const kDownload = "/rw/pckg/.download/";

class UpgradeTest : public InstallFixture {
protected:
    void offer(const std::string& directory, const std::string& file, const std::string& bytes) {
        sandbox.writeFile(directory + file, bytes);
    }
    RunResult upgrade(const std::vector<std::string>& options = {}, RunSetup setup = {}) {
        std::vector<std::string> args = {"-r", sandbox.root()};
        args.insert(args.end(), options.begin(), options.end());
        const char* asan = getenv("ASAN_OPTIONS");
        setup.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":detect_leaks=0";
        return testsupport::runInstaller(sandbox, args, setup);
    }
    bool isInstalled(const std::string& name) {
        return sandbox.exists("/flash/var/pdb/" + name + "/version") ||
               sandbox.exists("/flash/var/pdb/" + name + "/image");
    }
};

TEST_F(UpgradeTest, OnlyTheFirstDirectoryWithPackagesIsUsed) {
    offer(kDownload, "a.vlp", signedPackage(package("alpha", "1.0", {{"bin/alpha", "a"}})));
    offer("/flash/rw/pckg/", "b.vlp", signedPackage(package("beta", "1.0", {{"bin/beta", "b"}})));
    RunResult run = upgrade();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(messagesOf(run.out), "installed alpha-1.0\n");
    EXPECT_TRUE(isInstalled("alpha"));
    EXPECT_FALSE(isInstalled("beta"));
    EXPECT_EQ(sandbox.readFile("/flash/bin/alpha"), "a");
    EXPECT_TRUE(sandbox.exists("/flash/PCKGS_CHANGED"));
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), "installed alpha-1.0\n");

    // The marker turns the first directory off.
    sandbox.writeFile(std::string(kDownload) + "IGNORE", "");
    run = upgrade();
    EXPECT_EQ(messagesOf(run.out), "installed beta-1.0\n");
    EXPECT_TRUE(isInstalled("beta"));
}

TEST_F(UpgradeTest, CandidatesAreInstalledAfterWhatTheyNeed) {
    vlpkg::PackageSpec app = package("app", "1.0", {{"bin/app", "x"}});
    app.depends = {{"lib", 0, 0, 0}};
    offer(kDownload, "app.vlp", signedPackage(app));
    offer(kDownload, "lib.vlp", signedPackage(package("lib", "1.0", {{"lib/lib", "y"}})));
    const RunResult run = upgrade();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(messagesOf(run.out), "installed lib-1.0\ninstalled app-1.0\n");
}

TEST_F(UpgradeTest, OneFailingCandidateDropsEverythingStagedInTheRun) {
    installed(signedPackage(package("keep", "2.0", {{"bin/keep", "k"}})));
    installed(signedPackage(package("other", "1.0")));
    sandbox.writeFile("/ram/pdb/other/schedule", "disable");
    offer(kDownload, "new.vlp", signedPackage(package("fresh", "1.0", {{"bin/fresh", "f"}})));
    offer(kDownload, "old.vlp", signedPackage(package("keep", "1.0")));  // a downgrade
    const std::string before = snapshot();
    const RunResult run = upgrade();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(messagesOf(run.out),
              "disabled other-1.0\n"
              "WARNING: omitting package keep-1.0: newer package keep-2.0 is already installed\n");
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), messagesOf(run.out));
    removePostlog();
    EXPECT_EQ(sandbox.listing(), before);
}

TEST_F(UpgradeTest, DowngradeMarkerAllowsOlderAndSetsAFloor) {
    installed(signedPackage(package("tool", "7.2", {{"bin/tool", "new"}})));
    offer(kDownload, "tool.vlp", signedPackage(package("tool", "7.1", {{"bin/tool", "old"}})));
    sandbox.writeFile("/ram/DOWNGRADE", "");
    RunResult run = upgrade();
    EXPECT_EQ(messagesOf(run.out), "installed tool-7.1\n");
    EXPECT_EQ(sandbox.readFile("/flash/bin/tool"), "old");

    offer(kDownload, "tool.vlp", signedPackage(package("tool", "6.9", {{"bin/tool", "older"}})));
    sandbox.writeFile("/ram/DOWNGRADE", std::to_string(version("7.0")) + "\n");
    run = upgrade();
    EXPECT_EQ(messagesOf(run.out), "WARNING: ommitting package tool-6.9: not allowed\n");
    EXPECT_EQ(sandbox.readFile("/flash/bin/tool"), "old");
}

TEST_F(UpgradeTest, PackageFilesWithAnImageBecomeTheKeptImage) {
    vlpkg::PackageSpec description = package("kept", "1.0", {{"bin/kept", "k"}});
    description.image = vlpkg::Content{"image bytes", ""};
    const std::string bytes = signedPackage(description);
    offer(kDownload, "kept.vlp", bytes);
    const RunResult run = upgrade();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sandbox.readFile("/flash/var/pdb/kept/image"), bytes);
    EXPECT_FALSE(sandbox.exists(std::string(kDownload) + "kept.vlp"));

    // A boot image goes to its own place and the entry links to it.
    vlpkg::PackageSpec boot = package("kernel", "1.0", {{"boot/kernel", "z"}});
    boot.image = vlpkg::Content{"boot", ""};
    boot.flags = kFlagBootImage;
    const std::string bootBytes = signedPackage(boot);
    offer(kDownload, "kernel.vlp", bootBytes);
    const RunResult bootRun = upgrade({}, {.env = {{"bootimage", "1"}}});
    EXPECT_EQ(bootRun.status, 0) << bootRun.err;
    EXPECT_EQ(sandbox.readFile("/flash/bootimage"), bootBytes);
    char link[64] = {};
    ASSERT_GT(readlink(sandbox.path("/flash/var/pdb/kernel/image").c_str(), link, sizeof link - 1), 0);
    EXPECT_STREQ(link, "/flash/bootimage");
    EXPECT_TRUE(sandbox.exists("/flash/UPGRADED"));
}

TEST_F(UpgradeTest, EmptyRouterAfterTheRunIsAFailure) {
    const RunResult run = upgrade();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "ERROR: router installation failed!!!\n");
    EXPECT_FALSE(sandbox.exists("/flash/PCKGS_CHANGED"));
}

TEST_F(UpgradeTest, NothingToDoTouchesNoFlagFile) {
    installed(signedPackage(package("base", "1.0")));
    removePostlog();
    std::remove(sandbox.path("/flash/PCKGS_CHANGED").c_str());
    const RunResult run = upgrade({"--safe"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(sandbox.exists("/flash/PCKGS_CHANGED"));
    EXPECT_FALSE(sandbox.exists("/ram/MANIFEST"));
    EXPECT_FALSE(sandbox.exists("/flash/postlog"));
}

TEST_F(UpgradeTest, SavedUpgradeCommittedLaterMatchesADirectOne) {
    const std::string bytes = signedPackage(package("app", "1.0", {{"bin/app", "payload"}}));
    offer(kDownload, "app.vlp", bytes);
    const std::string before = snapshot();
    const RunResult saved = upgrade({"--safe"});
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(messagesOf(saved.out), "installed app-1.0\n");
    ASSERT_TRUE(sandbox.exists("/ram/MANIFEST"));
    EXPECT_FALSE(sandbox.exists("/flash/bin/app"));

    // Cancelled: nothing installed.
    const RunResult cancel = testsupport::runInRoot(sandbox, [] {
        char name[] = "installer", option[] = "--cancel";
        char* argv[] = {name, option, nullptr};
        return installerMain(2, argv);
    });
    EXPECT_EQ(cancel.status, 0);
    EXPECT_FALSE(sandbox.exists("/ram/MANIFEST"));
    EXPECT_FALSE(sandbox.exists("/flash/bin/app"));

    // Saved again, then committed in a later run.
    ASSERT_EQ(upgrade({"--safe"}).status, 0);
    const RunResult commit = testsupport::runInRoot(sandbox, [] {
        char name[] = "installer", option[] = "--commit";
        char* argv[] = {name, option, nullptr};
        return installerMain(2, argv);
    });
    EXPECT_EQ(commit.status, 0);
    EXPECT_EQ(commit.err, "");
    EXPECT_EQ(sandbox.readFile("/flash/bin/app"), "payload");
    EXPECT_TRUE(sandbox.exists("/flash/var/pdb/app/version"));
    EXPECT_TRUE(sandbox.exists("/flash/PCKGS_CHANGED"));
    EXPECT_NE(sandbox.listing(), before);
}

TEST_F(UpgradeTest, ChangesThatDoNotFitOnFlashAreRefused) {
    // A fresh, small flash of its own (no database yet); the package waits on the download
    // directory's disk. More than the flash holds is refused while it is staged; what fits but
    // leaves too little room, by the check before the commit.
    const struct {
        size_t kib;
        uint64_t flash;
        int status;
        const char* message;
    } cases[] = {
        {300, 256 * 1024, 28, "ERROR: installation of big-1.0 failed: disk is too small\n"},
        {240, 256 * 1024, 28, "ERROR: not enough space for upgrade\n"},
        {300, 2 * 1024 * 1024, 0, "installed big-1.0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::string big(c.kib * 1024, '\0');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
        offer(kDownload, "big.vlp", signedPackage(package("big", "1.0", {{"bin/big", big}})));
        const RunResult run = upgrade({}, {.mounts = {{"/flash", c.flash}}});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(messagesOf(run.out), std::string("WARNING: could not open repo\n") + c.message);
    }
}

}  // namespace

namespace {

int runEntry(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("installer")};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return installerMain(static_cast<int>(argv.size() - 1), argv.data());
}

TEST_F(UpgradeTest, SavedOperationsCommitAcrossFilesystemsWithTheSpinner) {
    installed(signedPackage(package("base", "1.0")));
    vlpkg::PackageSpec description = package("app", "1.0", {{"bin/app", "payload"}});
    description.image = vlpkg::Content{std::string(200 * 1024, 'i'), ""};
    const std::string bytes = signedPackage(description);
    // The download directory is a filesystem of its own, so the kept image is copied at commit.
    const RunResult run = testsupport::runInRoot(
        sandbox,
        [bytes] {
            mkdir("/rw/pckg", 0755);
            mkdir("/rw/pckg/.download", 0755);
            FILE* f = fopen("/rw/pckg/.download/app.vlp", "w");
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
            const pid_t saver = fork();
            if (saver == 0) _exit(runEntry({"-q", "--safe"}));
            int status = 0;
            waitpid(saver, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 10;
            return runEntry({"--commit"});
        },
        {.mounts = {{"/rw", 4 * 1024 * 1024}}});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.rfind("finishing install... |", 0), 0u) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - 3), "\b \n");
    EXPECT_EQ(sandbox.readFile("/flash/bin/app"), "payload");
    EXPECT_EQ(sandbox.readFile("/flash/var/pdb/app/image"), bytes);
}

}  // namespace
