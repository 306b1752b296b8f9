// Single packages installed from standard input through the built binary ("installer -r ROOT -").
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "frontend/command_line.h"
#include "install_fixture.h"

using namespace velmara;

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
    // A kept image of the old version in the image store would be loaded over the new entry.
    old.image = vlpkg::Content{"old image"};
    sandbox.writeFile("/rw/pckg/.images/tool", signedPackage(old));
    const RunResult run = install(bytes);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(messagesOf(run.out), "");
    EXPECT_FALSE(sandbox.exists("/flash/bin/a"));
    EXPECT_EQ(sandbox.readFile("/flash/bin/b"), "new b");
    EXPECT_EQ(sandbox.readFile("/flash/bin/c"), "new c");
    for (const char* stale : {"/flash/var/pdb/tool/version", "/flash/var/pdb/tool/deps",
                              "/rw/pckg/.images/tool"})
        EXPECT_FALSE(sandbox.exists(stale)) << stale;
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
    vlpkg::PackageSpec description = package("velmara", "7.2", {{"boot/kernel", "kernel"}});
    description.flags = kFlagBootImage;
    description.image = vlpkg::Content{"boot image"};
    const std::string bytes = signedPackage(description);
    const RunResult run = install(bytes, {}, {.env = {{"bootimage", "1"}}});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bootimage"), bytes);
    char link[64] = {};
    ASSERT_GT(readlink(sandbox.path("/flash/var/pdb/velmara/image").c_str(), link, sizeof link),
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
    vlpkg::PackageSpec description = package("velmara", "7.2", {{"boot/kernel", "kernel"}});
    description.flags = kFlagBootImage;
    description.image = vlpkg::Content{"boot image"};
    const std::string bytes = signedPackage(description);
    const RunResult run = install(bytes, {}, {.unsetEnv = {"bootimage"}});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/boot/kernel"), "kernel");
    EXPECT_EQ(entry("velmara", "image"), bytes);
    EXPECT_FALSE(sandbox.exists("/flash/bootimage"));
    EXPECT_TRUE(sandbox.exists("/flash/UPGRADED"));
}

TEST_F(InstallTest, FlagFilesForSystemAndBranding) {
    // Only an old system that passed its checks and its signature leaves the conversion marker.
    const vlpkg::PackageSpec old = package("system", "6.49", {{"bin/sh", "sh"}});
    vlpkg::PackageSpec needy = old;
    needy.depends = {{"base", 0, 0, 0}};
    const struct {
        std::string bytes;
        int status;
        bool marker;
    } cases[] = {
        {testsupport::packageBytes(old), 1, false},
        {signedPackage(needy), 1, false},
        {signedPackage(old), 0, true},
        {signedPackage(package("system", "7.1", {{"bin/sh", "sh"}})), 0, false},
    };
    for (const auto& c : cases) {
        std::remove(sandbox.path("/rw/CONVERT").c_str());
        const RunResult run = install(c.bytes);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_EQ(sandbox.exists("/rw/CONVERT"), c.marker) << run.out;
    }
    EXPECT_FALSE(sandbox.exists("/flash/UPGRADED"));

    const RunResult run = install(signedPackage(package("branding", "1.0", {{"www/logo", "logo"}})));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(sandbox.exists("/flash/UPGRADED"));
}

TEST_F(InstallTest, AlternativeMagicOnlyWhereNoInstalledEntryWouldGoStale) {
    installed(signedPackage(package("hello", "1.0", {{"bin/hello", "one"}})));
    const auto alternative = [](vlpkg::PackageSpec description) {
        description.alternativeMagic = true;
        description.image = vlpkg::Content{"image"};
        return signedPackage(description);
    };
    // A name no installed package has: its files, but no entry and no image.
    const RunResult run = install(alternative(package("extra", "2.0", {{"bin/extra", "extra"}})));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sandbox.readFile("/flash/bin/extra"), "extra");
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/extra"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/image"));

    // Where the installed entry would go on describing replaced files, or a bundle's members
    // would go unrecorded, the package is refused.
    std::string bundle = signedBundle(
        {{"suite", version("1.0"), 0, {}, {}, {}, {}, {}}, vlpkg::Content{}, {},
         {package("wifi", "1.0", {{"lib/wifi", "w"}})}});
    bundle.replace(0, 4, "\xfb\x0f\x10\xa1");
    const std::pair<std::string, std::pair<int, std::string>> refused[] = {
        {alternative(package("hello", "2.0", {{"bin/hello", "two"}})),
         {1, "ERROR: can not install hello-2.0: hello is installed, and a package with the "
             "alternative magic would not replace it\n"}},
        {bundle, {2, "ERROR: can not install suite-1.0: a bundle cannot have the alternative "
                     "magic\n"}},
    };
    const std::string before = snapshot();
    for (const auto& [bytes, outcome] : refused)
        expectUntouched(install(bytes), before, outcome.first, outcome.second);
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
    // Incompressible, so that it stays this large inside the file container too.
    std::mt19937 random(7);
    std::string noise(256 * 1024, '\0');
    for (char& c : noise) c = char(random());
    // The copy fails while the image part is passed over, or while the files are unpacked.
    vlpkg::PackageSpec inImage = package("big", "1.0", {{"bin/big", "b"}});
    inImage.image = vlpkg::Content{noise};
    vlpkg::PackageSpec inFiles = package("big", "1.0", {{"bin/big", noise}});
    inFiles.image = vlpkg::Content{"i"};
    const std::string before = snapshot();
    for (const vlpkg::PackageSpec& description : {inImage, inFiles}) {
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
}

TEST_F(InstallTest, ChangesThatDoNotFitOnFlashAreRefusedWithNothingChanged) {
    // Small enough to be staged (in /ram: the flash is short of room beside it), too large to
    // leave the flash its margin once copied there: the space check refuses it.
    const std::string bytes =
        signedPackage(package("blob", "2.0", {{"bin/blob", std::string(240 * 1024, 'z')}}));
    const RunResult run = testsupport::runInRoot(
        sandbox,
        [&] {
            mkdir("/flash/var", 0755);
            mkdir("/flash/var/pdb", 0755);
            char* argv[] = {const_cast<char*>("installer"), const_cast<char*>("-"), nullptr};
            const int status = installerMain(2, argv);
            // Nothing of the package, and nothing left behind, on the flash.
            return access("/flash/bin", F_OK) == 0 || access("/flash/var/pdb/blob", F_OK) == 0 ||
                           access("/flash/.installer-staged", F_OK) == 0
                       ? 100
                       : status;
        },
        {.input = bytes, .mounts = {{"/flash", 256 * 1024}}});
    EXPECT_EQ(run.status, kNoSpaceStatus) << run.out;
    EXPECT_EQ(messagesOf(run.out), "ERROR: not enough space for upgrade\n");
}

}  // namespace
}  // namespace installtest
