// installFromStream, installPackage and scanPackageDir in-process, in a child whose root is a
// sandbox: what they leave in `packages` and in the results, which the binary cannot show.
#include "install/install.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "pkgdb/database.h"
#include "resolve/resolution.h"
#include "support/console_text.h"
#include "support/package_bytes.h"
#include "support/sandbox.h"
#include "support/test_packages.h"

using namespace velmara;

namespace {

using testsupport::messagesOf;
using testsupport::RunResult;
using testsupport::Sandbox;

PackageVersion version(const char* text) {
    PackageVersion v = 0;
    EXPECT_TRUE(parseVersion(text, v)) << text;
    return v;
}

uint32_t noBoardMinimum() {
    return 0;
}

// One line per record of the installed set, in order.
std::string describe(const Installer& installer) {
    std::string text;
    for (const auto& p : installer.packages) {
        text += p->name.empty() ? std::string("<unnamed>") : recordName(*p);
        if (p->disabled) text += " disabled";
        if (p->userChoice) text += " chosen";
        if (!p->bundle.name.empty()) text += " in " + entryDisplayName(p->bundle);
        for (const auto& file : p->files) text += " " + file;
        if (p->scheduledAction != 0) text += " action " + std::to_string(p->scheduledAction);
        text += "\n";
    }
    return text;
}

InstalledPackage& addInstalled(Installer& installer, const std::string& name, const char* text) {
    auto record = std::make_unique<InstalledPackage>(name);
    record->version = version(text);
    record->buildTime = 1700000000;
    record->architecture = "i386";
    installer.packages.push_back(std::move(record));
    return *installer.packages.back();
}

vlpkg::BundleSpec suite(const char* versionText, std::vector<vlpkg::PackageSpec> members) {
    vlpkg::BundleSpec description;
    description.name = "suite";
    description.version = version(versionText);
    description.buildTime = 1700000000;
    description.members = std::move(members);
    return description;
}

std::string signedPackage(const vlpkg::PackageSpec& description) {
    return testsupport::signedBytes(testsupport::packageBytes(description));
}

class InstallUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_ROOT_CHANGE();
        sandbox.makeDirectory("/flash/var/pdb");
    }

    // Runs `body` in a child rooted in the sandbox with a fresh installed set; its console goes
    // to standard output, which is returned.
    std::string inRoot(const std::function<void(Installer&)>& body,
                       const testsupport::RunSetup& setup = {}) {
        const RunResult run = testsupport::runInRoot(
            sandbox,
            [&] {
                Installer& installer = Installer::instance();
                installer.arch = "i386";
                installer.console = &std::cout;
                boardMinimumSource = noBoardMinimum;
                body(installer);
                installer.packages.clear();
                return 0;
            },
            setup);
        EXPECT_EQ(run.status, 0) << run.err;
        return run.out;
    }

    Sandbox sandbox;
};

int install(Installer& installer, const std::string& bytes, const ChoiceMap& choices = {},
            std::streambuf* tee = nullptr, std::string* imageDir = nullptr,
            bool* bootFlag = nullptr) {
    std::istringstream in(bytes);
    Manifest manifest;
    const int result =
        installFromStream(installer, manifest, in, 0, choices, tee, imageDir, bootFlag);
    manifest.discard();
    return result;
}

TEST_F(InstallUnitTest, EarlierVersionReturnsToItsPlaceWhenTheNewOneFails) {
    const std::string unsignedNew =
        testsupport::packageBytes(testsupport::simplePackage("hello", "2.0", {{"bin/hello", "2"}}));
    const std::string signedNew =
        signedPackage(testsupport::simplePackage("hello", "2.0", {{"bin/hello", "2"}}));
    const std::string out = inRoot([&](Installer& installer) {
        addInstalled(installer, "first", "1.0");
        InstalledPackage& old = addInstalled(installer, "hello", "1.0");
        old.files = {"/flash/bin/hello", "/flash/bin/old"};
        old.scheduledAction = 3;
        addInstalled(installer, "last", "1.0");
        std::cout << install(installer, unsignedNew) << "\n" << describe(installer);
        std::cout << install(installer, signedNew) << "\n" << describe(installer);
    });
    EXPECT_EQ(messagesOf(out),
              "ERROR: installation of hello-2.0 failed: broken package\n"
              "1\n"
              "first-1.0\n"
              "hello-1.0 /flash/bin/hello /flash/bin/old action 3\n"
              "last-1.0\n"
              "0\n"
              "first-1.0\n"
              "last-1.0\n"
              "hello-2.0 /flash/bin/hello\n");
}

TEST_F(InstallUnitTest, DisabledMemberRecordsDoNotOutliveTheBundle) {
    vlpkg::BundleSpec description = suite("1.0", {testsupport::simplePackage("wifi", "1.0", {{"w", "w"}}),
                                           testsupport::simplePackage("vpn", "1.0", {{"v", "v"}})});
    description.disabledMembers = {{"vpn", 0, 0, 0}};
    const std::string bytes = testsupport::signedBytes(testsupport::bundleBytes(description));
    // A package of a disabled member's name installed after the bundle is not held back.
    const std::string later = signedPackage(testsupport::simplePackage("vpn", "2.0"));
    const std::string out = inRoot([&](Installer& installer) {
        std::cout << install(installer, bytes) << "\n" << describe(installer);
        std::cout << install(installer, later) << "\n" << describe(installer);
    });
    EXPECT_EQ(messagesOf(out),
              "0\n"
              "suite-1.0\n"
              "wifi-1.0 in suite-1.0 /flash/w\n"
              "vpn-1.0 disabled in suite-1.0 /flash/x/vpn/v\n"
              "0\n"
              "suite-1.0\n"
              "wifi-1.0 in suite-1.0 /flash/w\n"
              "vpn-2.0\n");
}

TEST_F(InstallUnitTest, ChoicesOverrideTheBundlesDisabledList) {
    vlpkg::BundleSpec description = suite("1.0", {testsupport::simplePackage("wifi", "1.0"),
                                           testsupport::simplePackage("vpn", "1.0")});
    description.disabledMembers = {{"vpn", 0, 0, 0}};
    const std::string bytes = testsupport::signedBytes(testsupport::bundleBytes(description));
    const std::string out = inRoot([&](Installer& installer) {
        std::cout << install(installer, bytes, {{"vpn", false}, {"wifi", true}}) << "\n"
                  << describe(installer);
    });
    EXPECT_EQ(messagesOf(out),
              "0\n"
              "suite-1.0\n"
              "wifi-1.0 disabled chosen in suite-1.0\n"
              "vpn-1.0 chosen in suite-1.0\n");
}

TEST_F(InstallUnitTest, FailedBundleLeavesTheInstalledSetAsItWas) {
    // The first member is unsigned, so nothing of the new version gets installed.
    vlpkg::BundleSpec description = suite("2.0", {testsupport::simplePackage("wifi", "2.0")});
    description.disabledMembers = {{"wifi", 0, 0, 0}};
    const std::string bytes = testsupport::bundleBytes(description);
    const std::string out = inRoot([&](Installer& installer) {
        addInstalled(installer, "wifi", "1.0").bundle = {"suite", version("1.0"), version("1.0"),
                                                         0};
        addInstalled(installer, "suite", "1.0").isBundle = true;
        std::cout << install(installer, bytes) << "\n" << describe(installer);
    });
    EXPECT_EQ(messagesOf(out),
              "ERROR: installation of suite-2.0 failed: broken package\n"
              "2\n"
              "wifi-1.0 in suite-1.0\n"
              "suite-1.0\n");
}

TEST_F(InstallUnitTest, EveryCutOfAPackageIsRefusedAndNeverReachesTheInstalledSet) {
    vlpkg::PackageSpec description = testsupport::simplePackage("hello", "2.0", {{"bin/hello", "two"}});
    description.image = vlpkg::Content{"image"};
    description.provides = {{"greeter", 0, 0, 0}};
    std::string bytes = signedPackage(description);
    testsupport::appendPart(bytes, PartType::Architecture, "i386");
    const std::string out = inRoot([&](Installer& installer) {
        installer.quiet = 1;
        addInstalled(installer, "hello", "1.0").files = {"/flash/bin/hello"};
        const std::string before = describe(installer);
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            std::string copy;
            std::stringbuf tee(copy);
            const int result = install(installer, bytes.substr(0, cut), {}, &tee);
            if (result != kInstallUnreadable || describe(installer) != before)
                std::cout << "cut " << cut << ": " << result << "\n" << describe(installer);
        }
        std::cout << "whole: " << install(installer, bytes) << "\n" << describe(installer);
    });
    EXPECT_EQ(out, "whole: 0\nhello-2.0 /flash/bin/hello\n");
}

TEST_F(InstallUnitTest, EveryCutOfABundleIsRefused) {
    vlpkg::BundleSpec description = suite("1.0", {testsupport::simplePackage("wifi", "1.0", {{"w", "w"}}),
                                           testsupport::simplePackage("vpn", "1.0", {{"v", "v"}})});
    description.disabledMembers = {{"vpn", 0, 0, 0}};
    const std::string bytes = testsupport::signedBytes(testsupport::bundleBytes(description));
    const std::string out = inRoot([&](Installer& installer) {
        installer.quiet = 1;
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            const int result = install(installer, bytes.substr(0, cut));
            // Members installed whole before the cut may stay; the bundle never does.
            const bool bundleKept = findPackage(installer.packages, "suite") != nullptr;
            const bool unnamed = findPackage(installer.packages, "") != nullptr;
            if (result == kInstallDone || bundleKept || unnamed)
                std::cout << "cut " << cut << ": " << result << "\n" << describe(installer);
            installer.packages.clear();
        }
    });
    EXPECT_EQ(out, "");
}

TEST_F(InstallUnitTest, CopiedPackageThatWasAlreadyInstalledIsNotKept) {
    vlpkg::PackageSpec description = testsupport::simplePackage("hello", "1.0");
    description.image = vlpkg::Content{"image"};
    description.flags = kFlagBootImage;
    const std::string bytes = signedPackage(description);
    vlpkg::PackageSpec alternative = testsupport::simplePackage("other", "1.0");
    alternative.image = vlpkg::Content{"image"};
    alternative.alternativeMagic = true;
    const std::string alternativeBytes = signedPackage(alternative);
    const std::string plainBytes =
        signedPackage(testsupport::simplePackage("plain", "1.0", {{"bin/plain", "p"}}));
    const std::string out = inRoot(
        [&](Installer& installer) {
            installer.quiet = 1;
            const auto run = [&](const std::string& package, bool withCopy, InstallFlags flags) {
                std::string imageDir;
                bool bootFlag = false;
                std::stringbuf copy;
                std::istringstream in(package);
                Manifest manifest;
                const int result =
                    installFromStream(installer, manifest, in, flags, {},
                                      withCopy ? &copy : nullptr, &imageDir, &bootFlag);
                manifest.discard();
                std::cout << result << " [" << imageDir << "] " << bootFlag << " "
                          << (copy.str() == package) << "\n";
            };
            run(bytes, true, 0);                // installed: the copy is whole and kept
            run(bytes, true, allowReinstall);   // already installed: the copy is partial
            run(bytes, false, allowReinstall);  // a file of its own: kept as it always was
            run(alternativeBytes, true, 0);     // no database entry to keep an image in
            run(plainBytes, true, 0);           // nothing to keep: copying stops at the header
        },
        {.env = {{"bootimage", "1"}}});
    EXPECT_EQ(out,
              "0 [/flash/var/pdb/hello/] 1 1\n"
              "0 [] 0 0\n"
              "0 [/flash/var/pdb/hello/] 1 0\n"
              "0 [] 0 0\n"
              "0 [] 0 0\n");
}

TEST_F(InstallUnitTest, BootImageMemberSetsTheBundlesBootFlagOnlyWithTheVariable) {
    vlpkg::PackageSpec boot = testsupport::simplePackage("kernel", "1.0", {{"boot/k", "k"}});
    boot.flags = kFlagBootImage;
    const std::string bytes =
        testsupport::signedBytes(testsupport::bundleBytes(suite("1.0", {boot})));
    const auto run = [&](const testsupport::RunSetup& setup) {
        return messagesOf(inRoot(
            [&](Installer& installer) {
                bool bootFlag = false;
                std::cout << install(installer, bytes, {}, nullptr, nullptr, &bootFlag) << " "
                          << bootFlag << "\n"
                          << describe(installer);
            },
            setup));
    };
    // With the variable the container is not unpacked: the boot image carries it.
    EXPECT_EQ(run({.env = {{"bootimage", "yes"}}}), "0 1\nsuite-1.0\nkernel-1.0 in suite-1.0\n");
    EXPECT_EQ(run({.unsetEnv = {"bootimage"}}),
              "0 0\nsuite-1.0\nkernel-1.0 in suite-1.0 /flash/boot/k\n");
}

TEST_F(InstallUnitTest, ScanListsAcceptablePackageFilesOnly) {
    const std::string dir = "/rw/pckg/.download/";
    const std::string good = signedPackage(testsupport::simplePackage("hello", "1.0"));
    vlpkg::PackageSpec alternative = testsupport::simplePackage("alt", "1.0");
    alternative.alternativeMagic = true;
    vlpkg::BundleSpec bundle = suite("1.0", {testsupport::simplePackage("wifi", "1.0"),
                                             testsupport::simplePackage("vpn", "1.0")});
    bundle.image = vlpkg::Content{"bundle image"};
    sandbox.writeFile(dir + "hello.vlp", good);
    sandbox.writeFile(dir + "alt.wsp", testsupport::packageBytes(alternative));
    sandbox.writeFile(dir + "suite.vlp", testsupport::bundleBytes(bundle));
    sandbox.writeFile(dir + "empty.vlp", testsupport::bundleBytes(suite("1.0", {})));
    sandbox.writeFile(dir + "partial.vlp", good.substr(0, good.size() - 1));
    sandbox.writeFile(dir + "longer.vlp", good + "x");
    sandbox.writeFile(dir + "garbage.wsp", "not a package at all");
    sandbox.writeFile(dir + "dotdot.vlp", signedPackage(testsupport::simplePackage("..", "1.0")));
    vlpkg::PackageSpec spaced = testsupport::simplePackage("spaced", "1.0");
    spaced.provides = {{"two words", 0, 0, 0}};
    sandbox.writeFile(dir + "spaced.vlp", signedPackage(spaced));
    sandbox.writeFile(dir + ".hidden.vlp", good);
    sandbox.writeFile(dir + "hello.vlp.part", good);
    // A directory read as a file stream would throw.
    sandbox.makeDirectory(dir + "sub.vlp");

    const std::string out = inRoot([&](Installer& installer) {
        std::ostringstream console;
        installer.console = &console;
        std::vector<std::unique_ptr<PackageFileRecord>> list;
        scanPackageDir(dir, list);
        scanPackageDir("/rw/missing/", list);
        std::vector<std::string> lines;
        for (const auto& r : list) {
            std::string line = r->path + " " + recordName(*r) + " size " +
                               std::to_string(r->declaredSize) + (r->isBundle ? " bundle" : "") +
                               (r->hasImage ? " image" : "") +
                               (r->alternativeMagic ? " alternative" : "");
            for (const auto& m : r->members) line += " +" + recordName(*m);
            lines.push_back(line + (r->sourcePath == r->path ? "" : " other source"));
        }
        std::istringstream printed(console.str());
        for (std::string line; std::getline(printed, line);) lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        for (const auto& line : lines) std::cout << line << "\n";
    });
    const std::string bundleSize = std::to_string(testsupport::bundleBytes(bundle).size());
    EXPECT_EQ(out, "/rw/pckg/.download/alt.wsp alt-1.0 size " +
                       std::to_string(testsupport::packageBytes(alternative).size()) +
                       " alternative\n"
                       "/rw/pckg/.download/hello.vlp hello-1.0 size " +
                       std::to_string(good.size()) +
                       "\n"
                       "/rw/pckg/.download/suite.vlp suite-1.0 size " +
                       bundleSize +
                       " bundle image +wifi-1.0 +vpn-1.0\n"
                       "ERROR: broken package dotdot.vlp\n"
                       "ERROR: broken package empty.vlp\n"
                       "ERROR: broken package garbage.wsp\n"
                       "ERROR: broken package longer.vlp\n"
                       "ERROR: broken package partial.vlp\n"
                       "ERROR: broken package spaced.vlp\n"
                       "ERROR: broken package sub.vlp\n");
}

}  // namespace
