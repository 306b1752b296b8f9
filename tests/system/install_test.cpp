// Single packages installed from standard input through the built binary ("installer -r ROOT -").
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/command_line.h"
#include "install_fixture.h"

namespace installtest {
namespace {

const std::string kStatusOn = "\x1b[?25l\r";
const std::string kStatusOff = "\r\x1b[?25h";

class InstallTest : public InstallFixture {};

TEST_F(InstallTest, FreshInstallWritesFilesEntryAndFlagAndDrawsTheBar) {
    const RunResult run = install(
        signedPackage(package("hello", "7.1", {{"bin/hello", "hi\n"}, {"etc/hello", "x"}})));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(messagesOf(run.out), "");
    // The bar is drawn while the package is read and wiped at the end.
    EXPECT_EQ(run.out.rfind(kStatusOn + "installing hello-7.1 [#", 0), 0u) << run.out;
    EXPECT_TRUE(run.out.ends_with(kStatusOn + std::string(77, ' ') + kStatusOff)) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bin/hello"), "hi\n");
    EXPECT_EQ(sandbox.readFile("/flash/etc/hello"), "x");
    EXPECT_EQ(entry("hello", "files"), "flash/bin/hello\nflash/etc/hello\n");
    EXPECT_TRUE(sandbox.exists("/flash/PCKGS_CHANGED"));
    // Without an image part the copy of standard input has nowhere to go and is gone.
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/hello/image"));

    const RunResult show = install("", {"--show"});
    EXPECT_NE(show.out.find("hello              7.1"), std::string::npos) << show.out;
}

TEST_F(InstallTest, PackageMadeWithTheToolIsInstalledAndListed) {
    testsupport::TempDir work;
    work.write("tree/bin/tool", "#!/bin/sh\n", 0755);
    const std::string out = work.file("tool.vlp");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"build", "--name", "tool", "--version", "7.2", "--build-time",
                                   "1551954125", "-o", out, work.file("tree")},
          std::vector<std::string>{"sign", "--key", testsupport::developmentPrivateKey(), out,
                                   out}}) {
        const RunResult made = testsupport::runProgram(VLPKG_BINARY, args);
        ASSERT_EQ(made.status, 0) << made.err;
    }
    const RunResult run = install(work.read("tool.vlp"));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("installing tool-7.2 [#"), std::string::npos) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bin/tool"), "#!/bin/sh\n");
    struct stat info;
    ASSERT_EQ(stat(sandbox.path("/flash/bin/tool").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(
        install("", {"--show"}).out,
        "            Name          Version                Built                                "
        "    Note\n" +
            std::string(94, '-') +
            "\n"
            "            tool              7.2 Mar/07/2019 10:22:05                           "
            "              \n");
}

TEST_F(InstallTest, UpgradeReplacesFilesAndRewritesTheEntry) {
    vlpkg::PackageSpec old = package("tool", "1.0", {{"bin/a", "old a"}, {"bin/b", "old b"}});
    old.depends = {{"hello", 0, 0, 0}};
    installed(signedPackage(package("hello", "1.0")));
    installed(signedPackage(old));
    ASSERT_TRUE(sandbox.exists("/flash/var/pdb/tool/deps"));

    // The new version keeps its metadata in its image: the old metadata files must go.
    vlpkg::PackageSpec next = package("tool", "2.0", {{"bin/b", "new b"}, {"bin/c", "new c"}});
    next.image = vlpkg::Content{"image bytes"};
    const std::string bytes = signedPackage(next);
    const RunResult run = install(bytes);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_FALSE(sandbox.exists("/flash/bin/a"));
    EXPECT_EQ(sandbox.readFile("/flash/bin/b"), "new b");
    EXPECT_EQ(sandbox.readFile("/flash/bin/c"), "new c");
    for (const char* stale : {"version", "deps"})
        EXPECT_FALSE(sandbox.exists(std::string("/flash/var/pdb/tool/") + stale)) << stale;
    // No image lists the installed files: the entry keeps the list for the next upgrade.
    EXPECT_EQ(entry("tool", "files"), "flash/bin/b\nflash/bin/c\n");
    EXPECT_EQ(entry("tool", "image"), bytes);
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));
    const RunResult show = install("", {"--show"});
    EXPECT_NE(show.out.find("tool              2.0"), std::string::npos) << show.out;
    EXPECT_EQ(show.out.find("tool              1.0"), std::string::npos) << show.out;

    // From one imaged version to the next, the list still reaches the files to remove.
    vlpkg::PackageSpec third = package("tool", "3.0", {{"bin/c", "third c"}});
    third.image = vlpkg::Content{"image bytes"};
    ASSERT_EQ(install(signedPackage(third)).status, 0);
    EXPECT_FALSE(sandbox.exists("/flash/bin/b"));
    EXPECT_EQ(sandbox.readFile("/flash/bin/c"), "third c");
}

TEST_F(InstallTest, SameVersionIsNotInstalledAgain) {
    vlpkg::PackageSpec description = package("hello", "7.1", {{"bin/hello", "hi"}});
    description.image = vlpkg::Content{"kept image"};
    const std::string bytes = signedPackage(description);
    installed(bytes);
    const std::string before = snapshot();

    // A damaged copy of the same version: nothing of it may replace what is kept.
    std::string damaged = bytes;
    damaged[damaged.find("kept image")] = 'K';
    RunResult run = install(damaged);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "WARNING: omitting package hello-7.1: it is already installed\n");
    removePostlog();
    EXPECT_EQ(sandbox.listing(), before);

    run = install(damaged, {"--reinstall"});
    EXPECT_EQ(run.status, 0);
    const std::string wipe = std::string(78, ' ');
    EXPECT_EQ(run.out, "\nResuming upgrade...\n" + kStatusOn + wipe + kStatusOff + kStatusOn +
                           wipe + kStatusOff + "installed hello-7.1\n");
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), "installed hello-7.1\n");
    removePostlog();
    EXPECT_EQ(sandbox.listing(), before);
}

TEST_F(InstallTest, OlderVersionNeedsDowngradePermission) {
    installed(signedPackage(package("hello", "2.0", {{"bin/hello", "two"}})));
    const std::string older = signedPackage(package("hello", "1.0", {{"bin/hello", "one"}}));
    const std::string before = snapshot();
    expectUntouched(install(older), before, 1,
                    "WARNING: omitting package hello-1.0: newer package hello-2.0 is already "
                    "installed\n");

    const RunResult run = install(older, {"-down"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bin/hello"), "one");
    EXPECT_EQ(entry("hello", "version"), std::to_string(version("1.0")) + " 1700000000\n");
}

TEST_F(InstallTest, RefusalsOfTheCandidateCheckChangeNothing) {
    installed(signedPackage(package("base", "1.0")));
    const std::string before = snapshot();

    vlpkg::PackageSpec needy = package("tool", "1.0", {{"bin/tool", "t"}});
    needy.depends = {{"libfoo", version("2.0"), 0, 0}};
    expectUntouched(install(signedPackage(needy)), before, 1,
                    "ERROR: can not install tool-1.0: libfoo-2.0 is not installed, but is "
                    "required\n");

    vlpkg::PackageSpec foreign = package("tool", "1.0", {{"bin/tool", "t"}});
    foreign.architecture = "mipsbe";
    expectUntouched(install(signedPackage(foreign)), before, 1,
                    "ERROR: can not install tool-1.0: it is not made for i386, but for mipsbe\n");
    // The architecture comes from the environment.
    const RunResult run = install(signedPackage(foreign), {}, {.env = {{"arch", "mipsbe"}}});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bin/tool"), "t");
}

TEST_F(InstallTest, ConflictInstallsThePackageDisabled) {
    // The installed package names the newcomer among its conflicts.
    vlpkg::PackageSpec first = package("webui", "1.0", {{"www/index", "one"}});
    first.conflicts = {{"webui2", 0, 0, 0}};
    installed(signedPackage(first));
    vlpkg::PackageSpec rival = package("webui2", "1.0", {{"www/index", "two"}});
    const RunResult run = install(signedPackage(rival));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_NE(run.out.find("installing  (disabled) webui2-1.0 ["), std::string::npos) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/www/index"), "one");
    EXPECT_EQ(sandbox.readFile("/flash/x/webui2/www/index"), "two");
    EXPECT_EQ(entry("webui2", "disabled"), "auto\n");
    EXPECT_EQ(entry("webui2", "files"), "flash/x/webui2/www/index\n");
}

TEST_F(InstallTest, ImagePartBecomesTheKeptImage) {
    vlpkg::PackageSpec description = package("radio", "1.0", {{"lib/radio.ko", "module"}});
    description.image = vlpkg::Content{std::string(10000, 'i')};
    const std::string bytes = signedPackage(description);
    const RunResult run = install(bytes);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(entry("radio", "image"), bytes);
    EXPECT_EQ(sandbox.readFile("/flash/lib/radio.ko"), "module");
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));
    EXPECT_FALSE(sandbox.exists("/flash/UPGRADED"));
}

TEST_F(InstallTest, BootImagePackageIsKeptWholeWhenAskedTo) {
    vlpkg::PackageSpec description = package("routeros", "7.2", {{"boot/kernel", "kernel"}});
    description.flags = kFlagBootImage;
    description.image = vlpkg::Content{"boot image"};
    const std::string bytes = signedPackage(description);
    const RunResult run = install(bytes, {}, {.env = {{"bootimage", "1"}}});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bootimage"), bytes);
    char link[64] = {};
    ASSERT_GT(readlink(sandbox.path("/flash/var/pdb/routeros/image").c_str(), link, sizeof link),
              0);
    EXPECT_STREQ(link, "/flash/bootimage");
    // The file container is passed over: the boot image carries it.
    EXPECT_FALSE(sandbox.exists("/flash/boot/kernel"));
    EXPECT_TRUE(sandbox.exists("/flash/UPGRADED"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));

    // Reinstalling the same version never writes what standard input carried to the boot
    // image: that copy was neither read whole nor verified.
    const RunResult again =
        install(bytes.substr(0, 200), {"--reinstall"}, {.env = {{"bootimage", "1"}}});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(sandbox.readFile("/flash/bootimage"), bytes);
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));
}

TEST_F(InstallTest, BootImagePackageIsUnpackedWithoutTheVariable) {
    vlpkg::PackageSpec description = package("routeros", "7.2", {{"boot/kernel", "kernel"}});
    description.flags = kFlagBootImage;
    description.image = vlpkg::Content{"boot image"};
    const std::string bytes = signedPackage(description);
    const RunResult run = install(bytes, {}, {.unsetEnv = {"bootimage"}});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/boot/kernel"), "kernel");
    EXPECT_EQ(entry("routeros", "image"), bytes);
    EXPECT_FALSE(sandbox.exists("/flash/bootimage"));
    EXPECT_TRUE(sandbox.exists("/flash/UPGRADED"));
}

TEST_F(InstallTest, FlagFilesForSystemAndBranding) {
    // An old system leaves the conversion marker even when it is then refused.
    std::string old = testsupport::packageBytes(package("system", "6.49", {{"bin/sh", "sh"}}));
    RunResult run = install(old);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(sandbox.exists("/rw/CONVERT"));
    EXPECT_FALSE(sandbox.exists("/flash/bin/sh"));
    std::remove(sandbox.path("/rw/CONVERT").c_str());

    run = install(signedPackage(package("system", "7.1", {{"bin/sh", "sh"}})));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_FALSE(sandbox.exists("/rw/CONVERT"));
    EXPECT_FALSE(sandbox.exists("/flash/UPGRADED"));

    run = install(signedPackage(package("branding", "1.0", {{"www/logo", "logo"}})));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(sandbox.exists("/flash/UPGRADED"));
}

TEST_F(InstallTest, AlternativeMagicLeavesNoEntryAndKeepsTheInstalledPackage) {
    installed(signedPackage(package("hello", "1.0", {{"bin/hello", "one"}})));
    vlpkg::PackageSpec description = package("hello", "2.0", {{"bin/extra", "extra"}});
    description.alternativeMagic = true;
    description.image = vlpkg::Content{"image"};
    const RunResult run = install(signedPackage(description));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bin/extra"), "extra");
    EXPECT_EQ(sandbox.readFile("/flash/bin/hello"), "one");
    EXPECT_EQ(entry("hello", "version"), std::to_string(version("1.0")) + " 1700000000\n");
    // Not even its image becomes a database entry.
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/hello/image"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));
}

TEST_F(InstallTest, ScheduledActionsOfTheRunAreDroppedWithAFailedInstallation) {
    installed(signedPackage(package("system", "7.1")));
    installed(signedPackage(package("webui", "1.0", {{"www/index", "one"}})));
    sandbox.writeFile("/ram/pdb/webui/schedule", "disable\n");
    const std::string before = snapshot();
    const RunResult run = install(testsupport::packageBytes(package("other", "1.0")));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(messagesOf(run.out),
              "disabled webui-1.0\nERROR: installation of other-1.0 failed: broken package\n");
    removePostlog();
    EXPECT_EQ(sandbox.listing(), before);
}

TEST_F(InstallTest, ImageCopyThatCannotBeOpenedEndsTheRun) {
    rmdir(sandbox.path("/flash/var/pdb").c_str());
    sandbox.writeFile("/flash/var/pdb", "not a directory");
    const std::string before = snapshot();
    const RunResult run = install(signedPackage(package("hello", "1.0", {{"bin/hello", "h"}})));
    EXPECT_EQ(run.status, 255);
    // The loader finds no database either.
    EXPECT_EQ(run.out, "WARNING: could not open repo\nERROR: could not open image\n");
    EXPECT_EQ(sandbox.listing(), before);
}

TEST_F(InstallTest, ImageCopyThatCannotBeOpenedLeavesNoStagedFileBehind) {
    installed(signedPackage(package("keep", "1.0")));
    installed(signedPackage(package("other", "1.0")));
    sandbox.writeFile("/ram/pdb/keep/schedule", "disable\n");
    // A directory where the copy would go: the disabling staged before it must not stay.
    sandbox.makeDirectory("/flash/var/pdb/image");
    const std::string before = snapshot();
    const RunResult run = install(signedPackage(package("hello", "1.0")));
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(messagesOf(run.out), "disabled keep-1.0\nERROR: could not open image\n");
    EXPECT_EQ(sandbox.listing(), before);
}

TEST_F(InstallTest, ImageCopyThatRunsOutOfSpaceFailsTheInstallation) {
    vlpkg::PackageSpec description = package("big", "1.0", {{"bin/big", "b"}});
    std::string noise(256 * 1024, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = char((i * 2654435761u) >> 13);
    description.image = vlpkg::Content{noise};
    const std::string before = snapshot();
    const RunResult run =
        install(signedPackage(description), {}, {.mounts = {{"/flash/var/pdb", 64 * 1024}}});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(messagesOf(run.out),
              "ERROR: could not write /flash/var/pdb//image: No space left on device\n");
    EXPECT_FALSE(sandbox.exists("/flash/bin/big"));
    EXPECT_EQ(sandbox.readFile("/flash/postlog"), messagesOf(run.out));
    removePostlog();
    EXPECT_EQ(sandbox.listing(), before);
}

TEST_F(InstallTest, ChangesThatDoNotFitOnFlashAreRefusedWithNothingChanged) {
    // Too big for the small flash, the file is staged in /ram and would have to be copied.
    const std::string bytes =
        signedPackage(package("blob", "2.0", {{"bin/blob", std::string(300 * 1024, 'z')}}));
    struct Case {
        std::vector<std::string> options;
        int status;
        std::string message;  // its beginning; a temporary file's name follows
    };
    const Case cases[] = {
        {{}, 28, "ERROR: not enough space for upgrade\n"},
        // A reinstall skips the check; the copy beside the target is then the final word.
        {{"--reinstall"},
         1,
         "\nResuming upgrade...\nERROR: nothing committed: could not copy /ram/.installer-tmp-"},
    };
    for (const Case& c : cases) {
        const RunResult run = testsupport::runInRoot(
            sandbox,
            [&] {
                mkdir("/flash/var", 0755);
                mkdir("/flash/var/pdb", 0755);
                std::vector<std::string> args = c.options;
                args.push_back("-");
                std::vector<char*> argv{const_cast<char*>("installer")};
                for (auto& a : args) argv.push_back(a.data());
                const int status = installerMain(int(argv.size()), argv.data());
                // Nothing of the package, and nothing left behind, on the flash.
                return access("/flash/bin", F_OK) == 0 ||
                               access("/flash/var/pdb/blob", F_OK) == 0 ||
                               access("/flash/.installer-staged", F_OK) == 0
                           ? 100
                           : status;
            },
            {.input = bytes, .mounts = {{"/flash", 256 * 1024}}});
        EXPECT_EQ(run.status, c.status) << run.out;
        const std::string messages = messagesOf(run.out);
        EXPECT_EQ(messages.rfind(c.message, 0), 0u) << messages;
        EXPECT_EQ(messages.find("installed"), std::string::npos) << messages;
    }
}

}  // namespace
}  // namespace installtest
