// The installed-package database: staged writes, entry files, removal and loading.
#include "pkgdb/database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "pkgdb/installer.h"
#include "pkgdb/schedule.h"
#include "support/package_bytes.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::RunResult;
using testsupport::Sandbox;

// Stages `target` and prints where its temporary file was made and with which permissions
// (or "none" when no file could be made); then drops it again.
void stageAndPrint(const std::string& target, uint64_t hint, unsigned mode = 0) {
    Manifest manifest;
    std::ofstream out;
    const bool opened = openReplacement(out, manifest, target, hint, mode);
    auto entry = manifest.find(target);
    if (entry == manifest.end() || entry->second.kind != MoveTemporary) {
        std::cout << "none " << opened << out.fail() << '\n';
        return;
    }
    struct stat info {};
    stat(entry->second.source.c_str(), &info);
    std::cout << parentDirectory(entry->second.source) << ' ' << std::oct << (info.st_mode & 07777)
              << std::dec << ' ' << opened << '\n';
    manifest.discard();
}

TEST(OpenReplacementTest, StagesBesideTheTargetOnlyWithRoomToSpare) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const RunResult run = testsupport::runInRoot(
        sandbox,
        [] {
            // A new entry directory does not exist yet: its nearest existing ancestor counts.
            mkdir("/flash/var", 0755);
            mkdir("/flash/var/pdb", 0755);
            stageAndPrint("/flash/var/pdb/new/version", 32);
            struct statfs info;
            if (statfs("/flash", &info) != 0) return 3;
            const uint64_t freeBytes = uint64_t(info.f_bfree) * info.f_bsize;
            // Exactly the hint plus 64 KiB free is not enough.
            std::cout << replacementDirectory("/flash/f", freeBytes - kReplacementMargin - 1) << ' '
                      << replacementDirectory("/flash/f", freeBytes - kReplacementMargin) << '\n';
            stageAndPrint("/flash/bin/tool", 1 << 20, 0755);
            // Nothing on the way to the root can be examined but the root itself.
            stageAndPrint("/nowhere/deep/file", 16);
            return 0;
        },
        {.mounts = {{"/flash", 256 * 1024}}});
    EXPECT_EQ(run.out, "/flash/var/pdb 600 1\n/flash /ram\n/ram 755 1\n/ 600 1\n") << run.err;
}

TEST(OpenReplacementTest, UnknownSizeUsesRamOrElseTmpOrStagesNothing) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const auto stage = [&] {
        return testsupport::runInRoot(sandbox,
                                      [] {
                                          stageAndPrint("/flash/PCKGS_CHANGED", 0);
                                          return 0;
                                      })
            .out;
    };
    EXPECT_EQ(stage(), "/ram 600 1\n");
    ASSERT_EQ(rmdir(sandbox.path("/ram").c_str()), 0);
    EXPECT_EQ(stage(), "/tmp 600 1\n");
    // No temporary file can be made: nothing is staged and the stream is left failed.
    ASSERT_EQ(rmdir(sandbox.path("/tmp").c_str()), 0);
    EXPECT_EQ(stage(), "none 01\n");
}

class StagedWriteTest : public ::testing::Test {
protected:
    std::string at(const std::string& inside) { return sandbox.path(inside); }
    std::string stagedFile(const std::string& target) {
        std::ofstream out;
        EXPECT_TRUE(openReplacement(out, manifest, at(target), 64, 0));
        out << target;
        return manifest.find(at(target))->second.source;
    }
    bool exists(const std::string& host) { return access(host.c_str(), F_OK) == 0; }
    Sandbox sandbox;
    testsupport::StagingInside staging{sandbox};
    Manifest manifest;
};

TEST_F(StagedWriteTest, LaterOperationsReplaceEarlierOnesAndTheirFiles) {
    const std::string first = stagedFile("/flash/etc/conf");
    const std::string second = stagedFile("/flash/etc/conf");
    EXPECT_FALSE(exists(first));
    sandbox.writeFile("/flash/etc/conf", "old");
    ASSERT_EQ(manifest.commit(false), Manifest::Result::Done);
    EXPECT_EQ(sandbox.readFile("/flash/etc/conf"), "/flash/etc/conf");
    EXPECT_FALSE(exists(second));

    // A removal of an existing path replaces a pending write, and deletes its file.
    const std::string pending = stagedFile("/flash/etc/conf");
    scheduleRemoval(manifest, at("/flash/etc/conf"));
    EXPECT_EQ(manifest.find(at("/flash/etc/conf"))->second.kind, Remove);
    EXPECT_FALSE(exists(pending));
    // A dangling link is a path to remove too.
    ASSERT_EQ(symlink("/flash/bootimage", at("/flash/image").c_str()), 0);
    scheduleRemoval(manifest, at("/flash/image"));
    EXPECT_NE(manifest.find(at("/flash/image")), manifest.end());
}

TEST_F(StagedWriteTest, RemovalOfAMissingPathOnlyDropsWhatIsPending) {
    const std::string temporary = stagedFile("/flash/var/pdb/p/provides");
    scheduleRemoval(manifest, at("/flash/var/pdb/p/provides"));
    EXPECT_TRUE(manifest.empty());
    EXPECT_FALSE(exists(temporary));  // nothing refers to it any more

    // A plain move's source is not this run's file and stays.
    sandbox.writeFile("/flash/source", "s");
    manifest.addMove(at("/flash/source"), at("/flash/missing"));
    scheduleRemoval(manifest, at("/flash/missing"));
    scheduleRemoval(manifest, at("/flash/never"));
    EXPECT_TRUE(manifest.empty());
    EXPECT_TRUE(sandbox.exists("/flash/source"));
}

TEST_F(StagedWriteTest, ClaimingADirectoryCancelsOnlyItsRemoval) {
    sandbox.makeDirectory("/flash/var/pdb/p");
    scheduleRemoval(manifest, at("/flash/var/pdb/p/"));
    EXPECT_TRUE(claimDirectory(manifest, at("/flash/var/pdb/p/")));
    EXPECT_TRUE(manifest.empty());
    EXPECT_TRUE(claimDirectory(manifest, at("/flash/var/pdb/absent/")));

    // A pending write is not given up for a directory, nor is a plain file a directory.
    stagedFile("/flash/var/pdb/q");
    EXPECT_FALSE(claimDirectory(manifest, at("/flash/var/pdb/q")));
    EXPECT_EQ(manifest.size(), 1u);
    sandbox.writeFile("/flash/var/pdb/plain", "x");
    EXPECT_FALSE(claimDirectory(manifest, at("/flash/var/pdb/plain")));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry files: written through a committed manifest, read back by the loader's entry reader.

namespace {

// Everything the database keeps of a record, on one line.
std::string describeRecord(const InstalledPackage& r) {
    std::ostringstream text;
    text << r.name << " v" << r.version << " t" << r.buildTime << " bundle=" << r.bundle.name << '/'
         << r.bundle.minVersion << '/' << r.bundle.maxVersion << " isBundle=" << r.isBundle
         << " disabled=" << r.disabled << " user=" << r.userChoice
         << " action=" << r.scheduledAction;
    for (const auto* list : {&r.depends, &r.provides, &r.conflicts}) {
        text << " |";
        for (const auto& e : *list)
            text << ' ' << e.name << '/' << e.minVersion << '/' << e.maxVersion << '/'
                 << e.priority;
    }
    text << " |";
    for (const auto& f : r.files) text << ' ' << f;
    return text.str() + "\n";
}

// Loads the named entries as the loader does for entries without image, one line each.
std::string loadEntries(const Sandbox& sandbox, std::vector<std::string> names) {
    return testsupport::runInRoot(sandbox,
                                  [names] {
                                      for (const auto& name : names) {
                                          InstalledPackage record(name);
                                          ReadFailure failure;
                                          if (!readDatabaseEntry(record, failure)) return 1;
                                          std::cout << describeRecord(record);
                                      }
                                      return 0;
                                  })
        .out;
}

// Writes the records' entries and commits; prints what writeDatabaseEntry reported.
RunResult writeEntries(const Sandbox& sandbox, std::function<std::vector<InstalledPackage>()> make,
                       const testsupport::RunSetup& setup = {}) {
    return testsupport::runInRoot(
        sandbox,
        [make] {
            Manifest manifest;
            for (InstalledPackage& r : make()) {
                if (!writeDatabaseEntry(r, manifest)) return 1;
            }
            return manifest.commit(false) == Manifest::Result::Done ? 0 : 2;
        },
        setup);
}

InstalledPackage fullRecord() {
    InstalledPackage r("router-ui");
    r.version = makeVersion(7, 1, kReleaseBeta, 3);
    r.buildTime = 1552000000;
    r.depends = {{"libc", 0, 0, 0}, {"zlib", makeVersion(1, 2, kReleaseFinal, 0), 0, 0}};
    r.provides = {{"webui", 0, makeVersion(2, 0, kReleaseFinal, 0), -7}, {"httpd", 5, 6, 40}};
    r.conflicts = {{"old-ui", 0, 0xFFFFFFFFu, 0}};
    r.bundle = {"suite", r.version, r.version, 0};
    r.files = {"/flash/www/index.html", "/flash/bin/ui"};
    return r;
}

const std::string kEntry = "/flash/var/pdb/router-ui/";

}  // namespace

TEST(DatabaseEntryTest, WrittenEntryHasTheTextFormatAndLoadsBack) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    ASSERT_EQ(writeEntries(sandbox, [] { return std::vector{fullRecord()}; }).status, 0);
    EXPECT_EQ(sandbox.readFile(kEntry + "version"), "117531139 1552000000\n");
    EXPECT_EQ(sandbox.readFile(kEntry + "deps"), "libc 0 0\nzlib 16934400 0\n");
    EXPECT_EQ(sandbox.readFile(kEntry + "provides"), "webui 0 33580544 -7\nhttpd 5 6 40\n");
    EXPECT_EQ(sandbox.readFile(kEntry + "conflicts"), "old-ui 0 4294967295\n");
    EXPECT_EQ(sandbox.readFile(kEntry + "bundle"), "suite\n");
    EXPECT_EQ(sandbox.readFile(kEntry + "files"), "flash/bin/ui\nflash/www/index.html\n");
    EXPECT_FALSE(sandbox.exists(kEntry + "disabled"));
    EXPECT_FALSE(sandbox.exists(kEntry + "enabled"));

    // The bundle's version is not kept: a member is stale without its bundle's image.
    EXPECT_EQ(loadEntries(sandbox, {"router-ui"}),
              "router-ui v117531139 t1552000000 bundle=suite/0/0 isBundle=0 disabled=0 user=0 "
              "action=1 | libc/0/0/0 zlib/16934400/0/0 | webui/0/33580544/-7 httpd/5/6/40 | "
              "old-ui/0/4294967295/0 | /flash/bin/ui /flash/www/index.html\n");

    // Any white space separates numbers; lines of "files" may have their "/" or not.
    sandbox.writeFile("/flash/var/pdb/tool/version", "  16842240\n\t99 \n");
    sandbox.writeFile("/flash/var/pdb/tool/files", "flash/bin/tool\n\n/flash/etc/t.conf\nbin/old");
    EXPECT_EQ(loadEntries(sandbox, {"tool"}),
              "tool v16842240 t99 bundle=/0/0 isBundle=0 disabled=0 user=0 action=0 | | | | "
              "/bin/old /flash/bin/tool /flash/etc/t.conf\n");
}

TEST(DatabaseEntryTest, BrokenEntriesAreLoadedForUninstall) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"leftover/disabled", "auto\n"},  // nothing to go on but the name
        {"noversion/files", ""},
        {"badnumber/version", "12x 5\n"},
        {"badnumber/files", ""},
        {"cutlist/version", "1 2\n"},
        {"cutlist/deps", "a 1 2\nb 3\n"},
        {"cutlist/files", ""},
        {"badpriority/version", "1 2\n"},
        {"badpriority/provides", "p 0 0 high\n"},
        {"badpriority/files", ""},
        {"toobig/version", "4294967296 2\n"},
        {"toobig/files", ""},
    };
    for (const auto& [path, contents] : files)
        sandbox.writeFile("/flash/var/pdb/" + path, contents);
    EXPECT_EQ(loadEntries(sandbox, {"leftover", "noversion", "badnumber", "cutlist", "badpriority",
                                    "toobig"}),
              "leftover v0 t0 bundle=/0/0 isBundle=1 disabled=1 user=0 action=1 | | | |\n"
              "noversion v0 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1 | | | |\n"
              "badnumber v0 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1 | | | |\n"
              "cutlist v1 t2 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1 | a/1/2/0 | | |\n"
              "badpriority v1 t2 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1 | | | |\n"
              "toobig v0 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1 | | | |\n");
}

TEST(DatabaseEntryTest, StateFilesFollowTheUsersChoice) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const auto records = [](bool flipped) {
        std::vector<InstalledPackage> r{InstalledPackage("byuser"), InstalledPackage("auto"),
                                        InstalledPackage("enabled"), InstalledPackage("plain")};
        r[0].disabled = r[0].userChoice = !flipped;
        r[1].disabled = true;
        r[2].userChoice = true;
        for (auto& each : r) each.version = 1;
        return r;
    };
    ASSERT_EQ(writeEntries(sandbox, [&] { return records(false); }).status, 0);
    const std::string root = "/flash/var/pdb/";
    EXPECT_EQ(sandbox.readFile(root + "byuser/disabled"), "user\n");
    EXPECT_EQ(sandbox.readFile(root + "auto/disabled"), "auto\n");
    EXPECT_EQ(sandbox.readFile(root + "enabled/enabled"), "user\n");
    for (const char* absent : {"byuser/enabled", "enabled/disabled", "plain/disabled",
                               "plain/enabled", "plain/provides", "plain/conflicts"})
        EXPECT_FALSE(sandbox.exists(root + absent)) << absent;
    // An empty deps list still gives the file.
    EXPECT_TRUE(sandbox.exists(root + "plain/deps"));
    EXPECT_EQ(sandbox.readFile(root + "plain/deps") + sandbox.readFile(root + "plain/files"), "");

    EXPECT_EQ(loadEntries(sandbox, {"byuser", "auto", "enabled", "plain"}),
              "byuser v1 t0 bundle=/0/0 isBundle=0 disabled=1 user=1 action=0 | | | |\n"
              "auto v1 t0 bundle=/0/0 isBundle=0 disabled=1 user=0 action=0 | | | |\n"
              "enabled v1 t0 bundle=/0/0 isBundle=0 disabled=0 user=1 action=0 | | | |\n"
              "plain v1 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=0 | | | |\n");
    // Enabled again: the state file that no longer holds goes.
    ASSERT_EQ(writeEntries(sandbox, [&] { return records(true); }).status, 0);
    EXPECT_FALSE(sandbox.exists(root + "byuser/disabled"));
}

TEST(DatabaseEntryTest, NewerVersionLeavesNoStaleFilesBehind) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    ASSERT_EQ(writeEntries(sandbox, [] { return std::vector{fullRecord()}; }).status, 0);
    ASSERT_TRUE(sandbox.exists(kEntry + "provides"));
    // Replaced the way installation does it, by a bundle without lists.
    const RunResult newer = testsupport::runInRoot(sandbox, [] {
        InstalledPackage old = fullRecord();
        Manifest manifest;
        removePackageFiles(old, manifest);
        InstalledPackage r("router-ui");
        r.version = makeVersion(8, 0, kReleaseFinal, 0);
        r.isBundle = true;
        if (!claimDirectory(manifest, databaseDir(r)) || !writeDatabaseEntry(r, manifest)) return 1;
        return manifest.commit(false) == Manifest::Result::Done ? 0 : 2;
    });
    ASSERT_EQ(newer.status, 0);
    EXPECT_EQ(sandbox.readFile(kEntry + "version") + sandbox.readFile(kEntry + "deps"),
              "134243840 0\n");
    for (const char* stale : {"provides", "conflicts", "bundle", "files"})
        EXPECT_FALSE(sandbox.exists(kEntry + stale)) << stale;
    EXPECT_EQ(
        loadEntries(sandbox, {"router-ui"}),
        "router-ui v134243840 t0 bundle=/0/0 isBundle=1 disabled=0 user=0 action=0 | | | |\n");

    // A version whose image carries the metadata drops the files altogether.
    sandbox.writeFile(kEntry + "image", "kept by the caller");
    ASSERT_EQ(writeEntries(sandbox,
                           [] {
                               InstalledPackage r("router-ui");
                               r.hasImage = r.disabled = true;
                               return std::vector{r};
                           })
                  .status,
              0);
    for (const char* file : {"version", "deps"}) EXPECT_FALSE(sandbox.exists(kEntry + file));
    EXPECT_EQ(sandbox.readFile(kEntry + "disabled"), "auto\n");
    EXPECT_TRUE(sandbox.exists(kEntry + "image"));
}

TEST(DatabaseEntryTest, WriteFailureNamesTheFileAndStopsThere) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // Flash too small to stage beside the targets, and RAM with room for two small files only:
    // "version" and "deps" fit, "provides" does not.
    const auto attempt = [](bool bundle) {
        InstalledPackage r = fullRecord();
        if (!bundle) r.bundle = {};
        Manifest manifest;
        const bool written = writeDatabaseEntry(r, manifest);
        std::cout << written;
        for (const auto& [target, entry] : manifest) std::cout << ' ' << target;
        std::cout << '\n';
        manifest.discard();
        return 0;
    };
    RunResult run = testsupport::runInRoot(sandbox, [&] { return attempt(false); },
                                           {.mounts = {{"/flash", 64 * 1024}, {"/ram", 8192}}});
    EXPECT_EQ(run.out,
              "ERROR: installation of router-ui-7.1beta3 failed: disk is too small\n"
              "0 /flash/var/pdb/router-ui/deps /flash/var/pdb/router-ui/provides "
              "/flash/var/pdb/router-ui/version\n");

    // Without any place for temporary files the first file fails, named by its label.
    ASSERT_EQ(rmdir(sandbox.path("/ram").c_str()), 0);
    run = testsupport::runInRoot(sandbox, [&] { return attempt(true); },
                                 {.mounts = {{"/flash", 64 * 1024}}});
    EXPECT_EQ(run.out,
              "ERROR: installation of suite-7.1beta3 failed: could not create meta/version: No "
              "such file or directory\n0\n");
}

TEST(DatabaseEntryTest, RemovalReachesFilesStoredEitherWay) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    for (const char* file : {"/flash/bin/tool", "/flash/etc/tool.conf", "/flash/x/tool/lib/a.so",
                             "/flash/var/pdb/tool/files", "/flash/var/pdb/tool/image",
                             "/flash/bootimage", "/etc/passwd"})
        sandbox.writeFile(file, "x");
    const auto remove = [] {
        InstalledPackage r("tool");
        r.flags = kFlagBootImage;
        r.scheduledAction = ActionUninstall;
        // Full paths as extraction records them, one relative to the flash root as older
        // databases kept them, and ones that must never be reached.
        r.files = {"/flash/bin/tool", "/flash/x/tool/lib/a.so",
                   "/etc/tool.conf",  "/flash/../etc/passwd",
                   "/flash",          "/flash/bin/missing"};
        Manifest manifest;
        removePackageFiles(r, manifest);
        for (const auto& [target, entry] : manifest) std::cout << entry.kind << target << ' ';
        std::cout << r.files.size() << r.scheduledAction << '\n';
        return manifest.commit(false) == Manifest::Result::Done ? 0 : 2;
    };
    EXPECT_EQ(testsupport::runInRoot(sandbox, remove).out,
              "4/flash/bin/tool 4/flash/bootimage 4/flash/etc/tool.conf 4/flash/var/pdb/tool/ "
              "4/flash/var/pdb/tool/image 4/flash/x/tool/lib/a.so 00\n");
    EXPECT_FALSE(sandbox.exists("/flash/bin/tool"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/tool"));
    EXPECT_TRUE(sandbox.exists("/etc/passwd"));

    // A boot image with a second name is still in use and stays.
    sandbox.writeFile("/flash/bootimage", "kernel");
    ASSERT_EQ(link(sandbox.path("/flash/bootimage").c_str(), sandbox.path("/flash/b2").c_str()), 0);
    EXPECT_EQ(testsupport::runInRoot(sandbox, remove).out, "00\n");
}

TEST(DatabaseEntryTest, InstalledLocationStaysStrictlyBelowFlash) {
    EXPECT_EQ(installedLocation("/flash/bin/a"), "/flash/bin/a");
    EXPECT_EQ(installedLocation("bin/a"), "/flash/bin/a");
    EXPECT_EQ(installedLocation("/bin/a"), "/flash/bin/a");
    EXPECT_EQ(installedLocation("/flashy/a"), "/flash/flashy/a");  // not below "/flash"
    EXPECT_EQ(installedLocation("/flash/a/..b"), "/flash/a/..b");
    for (const char* refused : {"", "/", "/flash", "/flash/", "/flash/./", "../etc/passwd",
                                "/flash/a/../../etc", "/flash/..", "a/.."})
        EXPECT_EQ(installedLocation(refused), "") << refused;
}

TEST(DatabaseEntryTest, OnlyDirectoriesWithPackageNamesAreEntries) {
    Sandbox sandbox;
    for (const char* name : {"good", "also-good_1", ".hidden", "with space", "tab\tname"})
        sandbox.makeDirectory(std::string("/flash/var/pdb/") + name);
    sandbox.writeFile("/flash/var/pdb/tmpA1b2C3", "stray temporary file");
    ASSERT_EQ(symlink("good", sandbox.path("/flash/var/pdb/linked").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", sandbox.path("/flash/var/pdb/dangling").c_str()), 0);
    std::vector<std::string> names;
    ReadFailure failure;
    ASSERT_EQ(databaseEntryNames(sandbox.path("/flash/var/pdb"), names, failure), ReadResult::Read);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"also-good_1", "good", "linked"}));
    EXPECT_EQ(databaseEntryNames(sandbox.path("/flash/var/missing"), names, failure),
              ReadResult::Absent);
}

// ---------------------------------------------------------------------------------------------
// Loading the whole database: images first, then the image store, then metadata-only entries.

namespace {

using testsupport::PackageBytes;

const std::string kSignature(68, 's');

// The parts of a single package after its header, as they stand in a file or in a bundle.
PackageBytes& finishPackage(PackageBytes& bytes) {
    return bytes.part(4, "file container").part(9, kSignature);
}

std::string singlePackage(const std::string& name, PackageVersion version, uint32_t built) {
    PackageBytes bytes;
    return finishPackage(bytes.header(name, version, built)).bytes();
}

// Loads the sandbox's database in a child and prints one line per record, in order.
RunResult loadAll(const Sandbox& sandbox, bool quiet = false) {
    return runInRoot(sandbox, [quiet] {
        Installer installer;
        if (!installer.loadDatabase(quiet, "ppc")) return 1;
        std::cout << "arch " << installer.arch << " quiet " << int(installer.quiet) << '\n';
        for (const auto& r : installer.packages) {
            std::cout << r->name << " v" << r->version << " bundle=" << r->bundle.name << '/'
                      << r->bundle.minVersion << " isBundle=" << r->isBundle
                      << " disabled=" << r->disabled << " action=" << r->scheduledAction
                      << " deps=" << r->depends.size() << " note=" << r->note << '\n';
        }
        return 0;
    });
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(DatabaseLoadTest, MissingRootIsReportedAndLeavesNothingInstalled) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    RunResult run = loadAll(sandbox);
    EXPECT_EQ(run.out, "WARNING: could not open repo\narch ppc quiet 0\n");
    run = loadAll(sandbox, true);
    EXPECT_EQ(run.out, "arch ppc quiet 1\n");
}

TEST(DatabaseLoadTest, ImagesComeFirstThenTheStoreThenMetadataEntries) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string pdb = "/flash/var/pdb/";
    const PackageVersion v71 = makeVersion(7, 1, kReleaseFinal, 0);
    // A bundle whose image also holds an unwanted image part and disabled-member list, and
    // whose first member carries a list left behind its signature.
    PackageBytes suite;
    suite.part(18, testsupport::headerBlock("suite", v71, 10))
        .part(21, std::string(5000, 'i'))
        .part(20, testsupport::entryList({{"vpn"}}));
    finishPackage(suite.header("wifi", 3, 11).part(3, testsupport::entryList({{"libc"}})))
        .part(3, testsupport::entryList({}));
    finishPackage(suite.header("vpn", 4, 12)).part(16, "ppc");
    sandbox.writeFile(pdb + "suite/image", suite.bytes());
    sandbox.writeFile(pdb + "wifi/disabled", "user\n");
    sandbox.makeDirectory(pdb + "vpn");
    PackageBytes router;
    finishPackage(router.header("router", 5, 13).part(23, "core system"));
    sandbox.writeFile(pdb + "router/image", router.bytes());
    sandbox.makeDirectory(pdb + "stored");
    sandbox.writeFile("/rw/pckg/.images/stored", singlePackage("stored", 6, 14));
    sandbox.writeFile(pdb + "meta/version", "7 15\n");
    sandbox.writeFile(pdb + "meta/files", "flash/bin/meta\n");
    sandbox.writeFile(pdb + "leftover/disabled", "auto\n");
    sandbox.writeFile(pdb + "member/version", "8 16\n");
    sandbox.writeFile(pdb + "member/bundle", "gone\n");
    sandbox.writeFile(pdb + "member/files", "");
    sandbox.writeFile(pdb + "broken/image", "not a package at all");
    // Directories where images belong: read, they would throw.
    sandbox.makeDirectory(pdb + "dirimage/image");
    sandbox.makeDirectory("/rw/pckg/.images/meta");
    sandbox.writeFile(pdb + ".hidden/version", "9 9\n");
    sandbox.writeFile(pdb + "bad name/version", "9 9\n");
    sandbox.writeFile(pdb + "tmpQ1w2E3", "stray temporary file");

    const std::vector<std::string> got = lines(loadAll(sandbox).out);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], "arch ppc quiet 0");
    std::map<std::string, std::string> byName;
    std::map<std::string, size_t> position;
    for (size_t i = 1; i < got.size(); ++i) {
        const std::string name = got[i].substr(0, got[i].find(' '));
        EXPECT_EQ(byName.count(name), 0u) << "loaded twice: " << name;
        byName[name] = got[i];
        position[name] = i;
    }
    EXPECT_EQ(byName.size(), 10u);
    EXPECT_EQ(byName["wifi"],
              "wifi v3 bundle=suite/117532160 isBundle=0 disabled=1 action=0 deps=1 note=");
    EXPECT_EQ(byName["vpn"],
              "vpn v4 bundle=suite/117532160 isBundle=0 disabled=0 action=0 deps=0 note=");
    EXPECT_EQ(byName["suite"],
              "suite v117532160 bundle=/0 isBundle=1 disabled=0 action=0 deps=0 note=");
    EXPECT_EQ(byName["router"],
              "router v5 bundle=/0 isBundle=0 disabled=0 action=0 deps=0 note=core system");
    EXPECT_EQ(byName["stored"], "stored v6 bundle=/0 isBundle=0 disabled=0 action=0 deps=0 note=");
    EXPECT_EQ(byName["meta"], "meta v7 bundle=/0 isBundle=0 disabled=0 action=0 deps=0 note=");
    EXPECT_EQ(byName["leftover"],
              "leftover v0 bundle=/0 isBundle=1 disabled=1 action=1 deps=0 note=");
    EXPECT_EQ(byName["member"],
              "member v8 bundle=gone/0 isBundle=0 disabled=0 action=1 deps=0 note=");
    // An image that cannot be read counts as missing; the entry's metadata is missing too.
    EXPECT_EQ(byName["broken"], "broken v0 bundle=/0 isBundle=1 disabled=0 action=1 deps=0 note=");
    EXPECT_EQ(byName["dirimage"],
              "dirimage v0 bundle=/0 isBundle=1 disabled=0 action=1 deps=0 note=");

    EXPECT_EQ(position["wifi"] + 1, position["vpn"]);
    EXPECT_EQ(position["vpn"] + 1, position["suite"]);
    for (const char* fromEntryImage : {"suite", "router"})
        EXPECT_LT(position[fromEntryImage], position["stored"]) << fromEntryImage;
    for (const char* metadataOnly : {"meta", "leftover", "member", "broken", "dirimage"})
        EXPECT_GT(position[metadataOnly], position["stored"]) << metadataOnly;
}

TEST(DatabaseLoadTest, ImageInBothPlacesIsLoadedFromBoth) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/flash/var/pdb/dup/image", singlePackage("dup", 1, 1));
    sandbox.writeFile("/rw/pckg/.images/dup", singlePackage("dup", 2, 2));
    EXPECT_EQ(loadAll(sandbox).out,
              "arch ppc quiet 0\n"
              "dup v1 bundle=/0 isBundle=0 disabled=0 action=0 deps=0 note=\n"
              "dup v2 bundle=/0 isBundle=0 disabled=0 action=0 deps=0 note=\n");
}

TEST(DatabaseLoadTest, UnusableNamesInsideImagesAreNotLoaded) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // A member whose name is empty would stand for the database root itself; members behind
    // an unusable one are not trusted either.
    PackageBytes suite;
    suite.part(18, testsupport::headerBlock("suite", 9, 9));
    finishPackage(suite.header("good", 1, 1));
    finishPackage(suite.header("", 2, 2));
    finishPackage(suite.header("late", 3, 3));
    sandbox.writeFile("/flash/var/pdb/suite/image", suite.bytes());
    // A single package whose header names a path: the entry falls back on its own files.
    sandbox.writeFile("/flash/var/pdb/odd/image", singlePackage("../x", 4, 4));
    sandbox.writeFile("/flash/var/pdb/odd/version", "5 5\n");
    sandbox.writeFile("/flash/var/pdb/odd/files", "");
    const std::vector<std::string> got = lines(loadAll(sandbox).out);
    std::set<std::string> loaded(got.begin() + 1, got.end());
    EXPECT_EQ(loaded, (std::set<std::string>{
                          "good v1 bundle=suite/9 isBundle=0 disabled=0 action=0 deps=0 note=",
                          "suite v9 bundle=/0 isBundle=1 disabled=0 action=0 deps=0 note=",
                          "odd v5 bundle=/0 isBundle=0 disabled=0 action=0 deps=0 note="}));
}

TEST(DatabaseEntryTest, ImageKeptPackageKeepsItsFileListForTheUninstall) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/flash/bin/ui", "program");
    ASSERT_EQ(writeEntries(sandbox,
                           [] {
                               InstalledPackage r("router-ui");
                               r.version = makeVersion(7, 1, kReleaseFinal, 0);
                               r.hasImage = true;
                               r.files = {"/flash/bin/ui"};
                               return std::vector{r};
                           })
                  .status,
              0);
    EXPECT_EQ(sandbox.readFile(kEntry + "files"), "flash/bin/ui\n");
    EXPECT_FALSE(sandbox.exists(kEntry + "version"));
    // Loaded again the way an image-backed record is (its version came from the image), then
    // uninstalled: the file goes with it.
    const RunResult run = testsupport::runInRoot(sandbox, [] {
        InstalledPackage r("router-ui");
        r.version = makeVersion(7, 1, kReleaseFinal, 0);
        ReadFailure failure;
        if (!readDatabaseEntry(r, failure)) return 1;
        if (r.files != std::set<std::string>{"/flash/bin/ui"}) return 1;
        Manifest manifest;
        removePackageFiles(r, manifest);
        return manifest.commit(false) == Manifest::Result::Done ? 0 : 2;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(sandbox.exists("/flash/bin/ui"));
}
