// The staged-write primitives: where replacements are made, and how removals and directory
// claims interact with operations already pending.
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

#include "pkgdb/database.h"
#include "pkgdb/schedule.h"
#include "report/installer.h"
#include "support/package_bytes.h"
#include "support/sandbox.h"

namespace {

using testsupport::RunResult;
using testsupport::RunSetup;
using testsupport::Sandbox;

// In a child rooted in the sandbox: stages `target` with the hint and prints the temporary
// file's path, its permission bits, and whether the stream opened.
std::function<int()> stageAndDescribe(std::string target, uint64_t hint, unsigned mode = 0) {
    return [target, hint, mode] {
        Manifest manifest;
        std::ofstream out;
        const bool opened = openReplacement(out, manifest, target, hint, mode);
        auto entry = manifest.find(target);
        if (entry == manifest.end()) {
            std::cout << "unstaged " << opened << ' ' << out.fail() << '\n';
            return 0;
        }
        struct stat info {};
        stat(entry->second.source.c_str(), &info);
        std::cout << entry->second.source << ' ' << std::oct << (info.st_mode & 07777) << ' '
                  << opened << ' ' << entry->second.kind << '\n';
        out.close();
        manifest.discard();  // leaves the sandbox as it was for the next run
        return 0;
    };
}

// The directory part and the final name of a described temporary file.
struct Described {
    std::string directory;
    std::string name;
    std::string rest;
};

Described describe(const RunResult& run) {
    Described d;
    const size_t space = run.out.find(' ');
    const std::string path = run.out.substr(0, space);
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        d.directory = path.substr(0, slash);
        d.name = path.substr(slash + 1);
    }
    d.rest = space == std::string::npos ? "" : run.out.substr(space + 1);
    return d;
}

TEST(OpenReplacementTest, StagesInTheTargetsFilesystemWhenItHasRoom) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // The entry directory does not exist yet: its nearest existing ancestor takes the file.
    const RunResult run = runInRoot(
        sandbox,
        [] {
            if (mkdir("/flash/var", 0755) != 0 || mkdir("/flash/var/pdb", 0755) != 0) return 3;
            return stageAndDescribe("/flash/var/pdb/new/version", 32)();
        },
        {.mounts = {{"/flash", 1 << 20}}});
    ASSERT_EQ(run.status, 0) << run.err;
    const Described d = describe(run);
    EXPECT_EQ(d.directory, "/flash/var/pdb");
    EXPECT_EQ(d.name.size(), 9u);
    EXPECT_EQ(d.name.rfind("tmp", 0), 0u);
    EXPECT_EQ(d.rest, "600 1 1\n");  // mkstemp's own mode, stream open, MoveTemporary
}

TEST(OpenReplacementTest, FreeSpaceOfExactlyHintPlusMarginGoesToRam) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // Measures the free space inside the child, then stages with a hint one byte below and
    // exactly at the limit.
    const RunResult run = runInRoot(
        sandbox,
        [] {
            struct statfs info;
            if (statfs("/flash", &info) != 0) return 3;
            const uint64_t freeBytes = uint64_t(info.f_bfree) * info.f_bsize;
            for (uint64_t hint : {freeBytes - kReplacementMargin - 1,
                                  freeBytes - kReplacementMargin, freeBytes}) {
                std::cout << replacementDirectory("/flash/file", hint) << '\n';
            }
            return 0;
        },
        {.mounts = {{"/flash", 256 * 1024}}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "/flash\n/ram\n/ram\n");
}

TEST(OpenReplacementTest, FullTargetFilesystemStagesInRamWithTheRequestedMode) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const RunResult run = runInRoot(sandbox, stageAndDescribe("/flash/bin/tool", 1 << 20, 0755),
                                    {.mounts = {{"/flash", 256 * 1024}}});
    ASSERT_EQ(run.status, 0) << run.err;
    const Described d = describe(run);
    EXPECT_EQ(d.directory, "/ram");
    EXPECT_EQ(d.rest, "755 1 1\n");
}

TEST(OpenReplacementTest, UnknownSizeUsesRamOrElseTmp) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // Room on the target's filesystem does not matter without a hint.
    RunResult run = runInRoot(sandbox, stageAndDescribe("/flash/PCKGS_CHANGED", 0));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(describe(run).directory, "/ram");

    ASSERT_EQ(rmdir(sandbox.path("/ram").c_str()), 0);
    run = runInRoot(sandbox, stageAndDescribe("/flash/PCKGS_CHANGED", 0));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(describe(run).directory, "/tmp");

    // With neither, no temporary file can be made: nothing is staged and the stream is failed.
    ASSERT_EQ(rmdir(sandbox.path("/tmp").c_str()), 0);
    run = runInRoot(sandbox, stageAndDescribe("/flash/PCKGS_CHANGED", 0));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "unstaged 0 1\n");
}

TEST(OpenReplacementTest, UnexaminableTargetWalksUpToTheRoot) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // Every ancestor up to "/" is missing except "/" itself, which has room on the host.
    const RunResult run = runInRoot(sandbox, stageAndDescribe("/nowhere/deep/file", 16));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("//tmp", 0), 0u) << run.out;  // made in "/" itself
}

class StagedWriteTest : public ::testing::Test {
protected:
    std::string at(const std::string& inside) { return sandbox.path(inside); }
    Sandbox sandbox;
    Manifest manifest;
};

TEST_F(StagedWriteTest, WrittenReplacementLandsOnCommitAndSupersedesTheEarlierOne) {
    std::ofstream first;
    ASSERT_TRUE(openReplacement(first, manifest, at("/flash/etc/conf"), 64, 0));
    first << "first\n";
    first.close();
    const std::string firstTemporary = manifest.find(at("/flash/etc/conf"))->second.source;
    ASSERT_TRUE(sandbox.exists(firstTemporary.substr(sandbox.root().size())));

    // Reusing a stream that is still open on something else.
    std::ofstream second;
    std::ofstream unrelated;
    ASSERT_TRUE(openReplacement(unrelated, manifest, at("/flash/other"), 64, 0));
    ASSERT_TRUE(openReplacement(unrelated, manifest, at("/flash/etc/conf"), 64, 0));
    unrelated << "second\n";
    unrelated.close();
    EXPECT_FALSE(sandbox.exists(firstTemporary.substr(sandbox.root().size())));
    EXPECT_EQ(manifest.size(), 2u);

    sandbox.writeFile("/flash/etc/conf", "old\n");
    manifest.commit(false);
    EXPECT_EQ(sandbox.readFile("/flash/etc/conf"), "second\n");
    EXPECT_EQ(sandbox.readFile("/flash/other"), "");
}

TEST_F(StagedWriteTest, RemovalOfAnExistingPathReplacesAPendingWrite) {
    std::ofstream out;
    ASSERT_TRUE(openReplacement(out, manifest, at("/flash/a"), 8, 0));
    out.close();
    const std::string temporary = manifest.find(at("/flash/a"))->second.source;
    sandbox.writeFile("/flash/a", "installed");
    scheduleRemoval(manifest, at("/flash/a"));
    ASSERT_EQ(manifest.size(), 1u);
    EXPECT_EQ(manifest.begin()->second.kind, Remove);
    EXPECT_EQ(manifest.begin()->second.source, "");
    EXPECT_NE(access(temporary.c_str(), F_OK), 0);
    manifest.commit(false);
    EXPECT_FALSE(sandbox.exists("/flash/a"));
}

TEST_F(StagedWriteTest, RemovalOfAMissingPathDropsThePendingWriteAndItsFile) {
    std::ofstream out;
    ASSERT_TRUE(openReplacement(out, manifest, at("/flash/var/pdb/p/provides"), 8, 0));
    out << "stale\n";
    out.close();
    const std::string temporary = manifest.find(at("/flash/var/pdb/p/provides"))->second.source;
    scheduleRemoval(manifest, at("/flash/var/pdb/p/provides"));
    EXPECT_TRUE(manifest.empty());
    EXPECT_NE(access(temporary.c_str(), F_OK), 0);

    // A plain move's source is not this run's file and stays.
    sandbox.writeFile("/flash/source", "s");
    manifest.addMove(at("/flash/source"), at("/flash/missing"));
    scheduleRemoval(manifest, at("/flash/missing"));
    EXPECT_TRUE(manifest.empty());
    EXPECT_TRUE(sandbox.exists("/flash/source"));

    // Nothing pending and nothing there: nothing changes.
    scheduleRemoval(manifest, at("/flash/never"));
    EXPECT_TRUE(manifest.empty());
}

TEST_F(StagedWriteTest, RemovalReachesADanglingLink) {
    sandbox.makeDirectory("/flash/var/pdb/boot");
    ASSERT_EQ(symlink("/flash/bootimage", at("/flash/var/pdb/boot/image").c_str()), 0);
    scheduleRemoval(manifest, at("/flash/var/pdb/boot/image"));
    ASSERT_EQ(manifest.size(), 1u);
    EXPECT_EQ(manifest.begin()->second.kind, Remove);
}

TEST_F(StagedWriteTest, ClaimingADirectoryCancelsOnlyItsRemoval) {
    sandbox.makeDirectory("/flash/var/pdb/p");
    scheduleRemoval(manifest, at("/flash/var/pdb/p/"));
    ASSERT_EQ(manifest.size(), 1u);
    EXPECT_TRUE(claimDirectory(manifest, at("/flash/var/pdb/p/")));
    EXPECT_TRUE(manifest.empty());

    // A pending write to the same path is not given up for a directory.
    std::ofstream out;
    ASSERT_TRUE(openReplacement(out, manifest, at("/flash/var/pdb/q"), 8, 0));
    out.close();
    EXPECT_FALSE(claimDirectory(manifest, at("/flash/var/pdb/q")));
    EXPECT_EQ(manifest.size(), 1u);

    EXPECT_TRUE(claimDirectory(manifest, at("/flash/var/pdb/absent/")));
    sandbox.writeFile("/flash/var/pdb/plain", "x");
    EXPECT_FALSE(claimDirectory(manifest, at("/flash/var/pdb/plain")));
    // Its pending removal is cancelled all the same, as the file stays what it is.
    scheduleRemoval(manifest, at("/flash/var/pdb/plain"));
    EXPECT_FALSE(claimDirectory(manifest, at("/flash/var/pdb/plain")));
    EXPECT_EQ(manifest.find(at("/flash/var/pdb/plain")), manifest.end());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry files: written through a committed manifest, read back by the loader's entry reader.

namespace {

// One canonical text for everything the database keeps of a record, so a child process can
// hand it to the test.
std::string describeRecord(const InstalledPackage& r) {
    std::ostringstream text;
    text << r.name << " v" << r.version << " t" << r.buildTime << " bundle=" << r.bundle.name
         << '/' << r.bundle.minVersion << '/' << r.bundle.maxVersion << " isBundle=" << r.isBundle
         << " disabled=" << r.disabled << " user=" << r.userChoice
         << " action=" << r.scheduledAction << '\n';
    const auto list = [&](const char* label, const std::vector<DependencyEntry>& entries) {
        text << label << ':';
        for (const auto& e : entries)
            text << ' ' << e.name << '/' << e.minVersion << '/' << e.maxVersion << '/'
                 << e.priority;
        text << '\n';
    };
    list("deps", r.depends);
    list("provides", r.provides);
    list("conflicts", r.conflicts);
    text << "files:";
    for (const auto& f : r.files) text << ' ' << f;
    text << '\n';
    return text.str();
}

// In a child rooted in the sandbox: loads the entry `name` as the loader does for an entry
// without image, and prints it.
std::function<int()> loadAndDescribe(std::string name) {
    return [name] {
        InstalledPackage record(name);
        readDatabaseEntry(record);
        std::cout << describeRecord(record);
        return 0;
    };
}

InstalledPackage fullRecord() {
    InstalledPackage r("router-ui");
    r.version = makeVersion(7, 1, kReleaseBeta, 3);
    r.buildTime = 1552000000;
    r.depends = {{"libc", 0, 0, 0}, {"zlib", makeVersion(1, 2, kReleaseFinal, 0), 0, 0}};
    r.provides = {{"webui", 0, makeVersion(2, 0, kReleaseFinal, 0), -7}, {"httpd", 5, 6, 40}};
    r.conflicts = {{"old-ui", 0, 0xFFFFFFFFu, 0}};
    r.bundle = {"suite", makeVersion(7, 1, kReleaseBeta, 3), makeVersion(7, 1, kReleaseBeta, 3), 0};
    r.files = {"/flash/www/index.html", "/flash/bin/ui"};
    return r;
}

}  // namespace

TEST(DatabaseEntryTest, WrittenEntryHasTheTextFormatAndLoadsBack) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const RunResult write = runInRoot(sandbox, [] {
        InstalledPackage r = fullRecord();
        Manifest manifest;
        if (!writeDatabaseEntry(r, manifest)) return 1;
        manifest.commit(false);
        return 0;
    });
    ASSERT_EQ(write.status, 0) << write.out << write.err;
    EXPECT_EQ(write.out, "");
    const std::string dir = "/flash/var/pdb/router-ui/";
    EXPECT_EQ(sandbox.readFile(dir + "version"), "117531139 1552000000\n");
    EXPECT_EQ(sandbox.readFile(dir + "deps"), "libc 0 0\nzlib 16934400 0\n");
    EXPECT_EQ(sandbox.readFile(dir + "provides"), "webui 0 33580544 -7\nhttpd 5 6 40\n");
    EXPECT_EQ(sandbox.readFile(dir + "conflicts"), "old-ui 0 4294967295\n");
    EXPECT_EQ(sandbox.readFile(dir + "bundle"), "suite\n");
    EXPECT_EQ(sandbox.readFile(dir + "files"), "flash/bin/ui\nflash/www/index.html\n");
    EXPECT_FALSE(sandbox.exists(dir + "disabled"));
    EXPECT_FALSE(sandbox.exists(dir + "enabled"));

    // The bundle's version is not kept: the member is stale without its bundle's image.
    const RunResult load = runInRoot(sandbox, loadAndDescribe("router-ui"));
    EXPECT_EQ(load.out,
              "router-ui v117531139 t1552000000 bundle=suite/0/0 isBundle=0 disabled=0 user=0 "
              "action=1\n"
              "deps: libc/0/0/0 zlib/16934400/0/0\n"
              "provides: webui/0/33580544/-7 httpd/5/6/40\n"
              "conflicts: old-ui/0/4294967295/0\n"
              "files: /flash/bin/ui /flash/www/index.html\n");
}

TEST(DatabaseEntryTest, FilesAreReadWithOrWithoutTheirLeadingSlash) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string dir = "/flash/var/pdb/tool/";
    sandbox.writeFile(dir + "version", "  16842240\n\t99 \n");  // any white space separates
    sandbox.writeFile(dir + "files", "flash/bin/tool\n\n/flash/etc/tool.conf\nbin/legacy");
    const RunResult load = runInRoot(sandbox, loadAndDescribe("tool"));
    EXPECT_EQ(load.out,
              "tool v16842240 t99 bundle=/0/0 isBundle=0 disabled=0 user=0 action=0\n"
              "deps:\nprovides:\nconflicts:\n"
              "files: /bin/legacy /flash/bin/tool /flash/etc/tool.conf\n");
}

TEST(DatabaseEntryTest, BrokenEntriesAreLoadedForUninstall) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string root = "/flash/var/pdb/";
    // Only an automatic "disabled": nothing to go on but the name.
    sandbox.writeFile(root + "leftover/disabled", "auto\n");
    sandbox.writeFile(root + "noversion/deps", "a 1 2\n");
    sandbox.writeFile(root + "noversion/files", "");
    sandbox.writeFile(root + "badnumber/version", "12x 5\n");
    sandbox.writeFile(root + "badnumber/files", "");
    sandbox.writeFile(root + "cutlist/version", "1 2\n");
    sandbox.writeFile(root + "cutlist/deps", "a 1 2\nb 3\n");
    sandbox.writeFile(root + "cutlist/files", "");
    sandbox.writeFile(root + "badpriority/version", "1 2\n");
    sandbox.writeFile(root + "badpriority/provides", "p 0 0 high\n");
    sandbox.writeFile(root + "badpriority/files", "");
    sandbox.writeFile(root + "toobig/version", "4294967296 2\n");
    sandbox.writeFile(root + "toobig/files", "");

    struct Expectation {
        const char* name;
        const char* first;
    } cases[] = {
        {"leftover", "leftover v0 t0 bundle=/0/0 isBundle=1 disabled=1 user=0 action=1\n"},
        {"noversion", "noversion v0 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1\n"},
        {"badnumber", "badnumber v0 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1\n"},
        {"cutlist", "cutlist v1 t2 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1\n"},
        {"badpriority", "badpriority v1 t2 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1\n"},
        {"toobig", "toobig v0 t0 bundle=/0/0 isBundle=0 disabled=0 user=0 action=1\n"},
    };
    for (const auto& c : cases) {
        const RunResult load = runInRoot(sandbox, loadAndDescribe(c.name));
        EXPECT_EQ(load.out.substr(0, load.out.find('\n') + 1), c.first) << load.out;
    }
    // What could be read stays: the entries before the cut.
    const RunResult cut = runInRoot(sandbox, loadAndDescribe("cutlist"));
    EXPECT_NE(cut.out.find("deps: a/1/2/0\n"), std::string::npos) << cut.out;
}

TEST(DatabaseEntryTest, StateFilesFollowTheUsersChoice) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string root = "/flash/var/pdb/";
    const RunResult write = runInRoot(sandbox, [] {
        Manifest manifest;
        InstalledPackage byUser("byuser"), automatic("automatic"), enabled("enabled"),
            plain("plain");
        byUser.disabled = byUser.userChoice = true;
        automatic.disabled = true;
        enabled.userChoice = true;
        for (InstalledPackage* r : {&byUser, &automatic, &enabled, &plain}) {
            r->version = 1;
            if (!writeDatabaseEntry(*r, manifest)) return 1;
        }
        manifest.commit(false);
        return 0;
    });
    ASSERT_EQ(write.status, 0) << write.out;
    EXPECT_EQ(sandbox.readFile(root + "byuser/disabled"), "user\n");
    EXPECT_FALSE(sandbox.exists(root + "byuser/enabled"));
    EXPECT_EQ(sandbox.readFile(root + "automatic/disabled"), "auto\n");
    EXPECT_EQ(sandbox.readFile(root + "enabled/enabled"), "user\n");
    EXPECT_FALSE(sandbox.exists(root + "enabled/disabled"));
    EXPECT_FALSE(sandbox.exists(root + "plain/disabled"));
    EXPECT_FALSE(sandbox.exists(root + "plain/enabled"));
    // An empty deps list still gives the file; empty provides and conflicts give none.
    EXPECT_EQ(sandbox.readFile(root + "plain/deps"), "");
    EXPECT_TRUE(sandbox.exists(root + "plain/deps"));
    EXPECT_FALSE(sandbox.exists(root + "plain/provides"));
    EXPECT_FALSE(sandbox.exists(root + "plain/conflicts"));
    EXPECT_EQ(sandbox.readFile(root + "plain/files"), "");

    for (const char* name : {"byuser", "automatic", "enabled", "plain"}) {
        const RunResult load = runInRoot(sandbox, loadAndDescribe(name));
        const std::string first = load.out.substr(0, load.out.find('\n'));
        const std::string state = first.substr(first.find("disabled="));
        const std::string expected = std::string(name) == "byuser"      ? "disabled=1 user=1 action=0"
                                     : std::string(name) == "automatic" ? "disabled=1 user=0 action=0"
                                     : std::string(name) == "enabled"   ? "disabled=0 user=1 action=0"
                                                                        : "disabled=0 user=0 action=0";
        EXPECT_EQ(state, expected) << name;
    }
    // Switching back stages the removal of the state file that no longer holds.
    const RunResult flip = runInRoot(sandbox, [] {
        Manifest manifest;
        InstalledPackage byUser("byuser");
        byUser.version = 1;
        if (!writeDatabaseEntry(byUser, manifest)) return 1;
        manifest.commit(false);
        return 0;
    });
    ASSERT_EQ(flip.status, 0);
    EXPECT_FALSE(sandbox.exists(root + "byuser/disabled"));
}

TEST(DatabaseEntryTest, NewerVersionLeavesNoStaleListsBehind) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string dir = "/flash/var/pdb/router-ui/";
    // The older version had every list, a bundle and files; the new one is a plain bundle
    // record without lists, installed the way installation does it.
    const RunResult older = runInRoot(sandbox, [] {
        InstalledPackage r = fullRecord();
        Manifest manifest;
        if (!writeDatabaseEntry(r, manifest)) return 1;
        manifest.commit(false);
        return 0;
    });
    ASSERT_EQ(older.status, 0);
    ASSERT_TRUE(sandbox.exists(dir + "provides"));
    const RunResult newer = runInRoot(sandbox, [] {
        InstalledPackage old = fullRecord();
        Manifest manifest;
        removePackageFiles(old, manifest);
        InstalledPackage r("router-ui");
        r.version = makeVersion(8, 0, kReleaseFinal, 0);
        r.isBundle = true;
        if (!claimDirectory(manifest, databaseDir(r))) return 2;
        if (!writeDatabaseEntry(r, manifest)) return 1;
        manifest.commit(false);
        return 0;
    });
    ASSERT_EQ(newer.status, 0);
    EXPECT_EQ(sandbox.readFile(dir + "version"), "134243840 0\n");
    EXPECT_EQ(sandbox.readFile(dir + "deps"), "");
    for (const char* stale : {"provides", "conflicts", "bundle", "files"})
        EXPECT_FALSE(sandbox.exists(dir + stale)) << stale;
    const RunResult load = runInRoot(sandbox, loadAndDescribe("router-ui"));
    EXPECT_EQ(load.out,
              "router-ui v134243840 t0 bundle=/0/0 isBundle=1 disabled=0 user=0 action=0\n"
              "deps:\nprovides:\nconflicts:\nfiles:\n");
}

TEST(DatabaseEntryTest, ImageBackedVersionDropsTheMetadataFiles) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const std::string dir = "/flash/var/pdb/router-ui/";
    for (const char* file : {"version", "deps", "provides", "conflicts", "bundle", "files"})
        sandbox.writeFile(dir + file, "old\n");
    sandbox.writeFile(dir + "image", "kept by the caller");
    const RunResult write = runInRoot(sandbox, [] {
        InstalledPackage r("router-ui");
        r.version = 5;
        r.hasImage = true;
        r.disabled = true;
        Manifest manifest;
        if (!writeDatabaseEntry(r, manifest)) return 1;
        manifest.commit(false);
        return 0;
    });
    ASSERT_EQ(write.status, 0);
    for (const char* file : {"version", "deps", "provides", "conflicts", "bundle", "files"})
        EXPECT_FALSE(sandbox.exists(dir + file)) << file;
    EXPECT_EQ(sandbox.readFile(dir + "image"), "kept by the caller");
    EXPECT_EQ(sandbox.readFile(dir + "disabled"), "auto\n");
}

TEST(DatabaseEntryTest, WriteFailureNamesTheFileAndStopsThere) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    // Flash too small to stage beside the targets, and RAM with room for two small files only:
    // "version" and "deps" fit, "provides" does not.
    const RunResult run = runInRoot(
        sandbox,
        [] {
            InstalledPackage r = fullRecord();
            r.bundle = {};
            Manifest manifest;
            const bool written = writeDatabaseEntry(r, manifest);
            std::cout << "result " << written << " staged";
            for (const auto& [target, entry] : manifest) std::cout << ' ' << target;
            std::cout << '\n';
            manifest.discard();
            return 0;
        },
        {.mounts = {{"/flash", 64 * 1024}, {"/ram", 2 * 4096}}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "ERROR: installation of router-ui-7.1beta3 failed: disk is too small\n"
              "result 0 staged /flash/var/pdb/router-ui/deps /flash/var/pdb/router-ui/provides "
              "/flash/var/pdb/router-ui/version\n");

    // Without any place for temporary files the first file already fails, with its label.
    ASSERT_EQ(rmdir(sandbox.path("/ram").c_str()), 0);
    const RunResult none = runInRoot(
        sandbox,
        [] {
            InstalledPackage r = fullRecord();
            Manifest manifest;
            std::cout << writeDatabaseEntry(r, manifest) << ' ' << manifest.size() << '\n';
            return 0;
        },
        {.mounts = {{"/flash", 64 * 1024}}});
    EXPECT_EQ(none.out,
              "ERROR: installation of suite-7.1beta3 failed: could not create meta/version: No "
              "such file or directory\n0 0\n");
}

TEST(DatabaseEntryTest, RemovalReachesFilesStoredEitherWay) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/flash/bin/tool", "x");
    sandbox.writeFile("/flash/etc/tool.conf", "x");
    sandbox.writeFile("/flash/x/tool/lib/old.so", "x");
    sandbox.writeFile("/flash/var/pdb/tool/files", "flash/bin/tool\n");
    sandbox.writeFile("/flash/var/pdb/tool/image", "x");
    sandbox.writeFile("/flash/bootimage", "kernel");
    sandbox.writeFile("/etc/passwd", "host");
    const RunResult run = runInRoot(sandbox, [] {
        InstalledPackage r("tool");
        r.flags = kFlagBootImage;
        r.scheduledAction = ActionUninstall;
        // Full paths as extraction records them, one relative to the flash root as older
        // databases kept them, and ones that must never be reached.
        r.files = {"/flash/bin/tool", "/flash/x/tool/lib/old.so", "/etc/tool.conf",
                   "/flash/../etc/passwd", "/flash", "/flash/bin/missing"};
        Manifest manifest;
        removePackageFiles(r, manifest);
        for (const auto& [target, entry] : manifest)
            std::cout << entry.kind << ' ' << target << '\n';
        std::cout << "files " << r.files.size() << " action " << r.scheduledAction << '\n';
        manifest.commit(false);
        return 0;
    });
    EXPECT_EQ(run.out,
              "4 /flash/bin/tool\n"
              "4 /flash/bootimage\n"
              "4 /flash/etc/tool.conf\n"
              "4 /flash/var/pdb/tool/\n"
              "4 /flash/var/pdb/tool/image\n"
              "4 /flash/x/tool/lib/old.so\n"
              "files 0 action 0\n");
    EXPECT_FALSE(sandbox.exists("/flash/bin/tool"));
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/tool"));
    EXPECT_TRUE(sandbox.exists("/etc/passwd"));
    EXPECT_TRUE(sandbox.exists("/flash/bin"));

    // A boot image with a second name is still in use and stays.
    sandbox.writeFile("/flash/bootimage", "kernel");
    ASSERT_EQ(link(sandbox.path("/flash/bootimage").c_str(), sandbox.path("/flash/boot2").c_str()),
              0);
    const RunResult linked = runInRoot(sandbox, [] {
        InstalledPackage r("tool");
        r.flags = kFlagBootImage;
        Manifest manifest;
        removePackageFiles(r, manifest);
        std::cout << (manifest.find("/flash/bootimage") != manifest.end()) << '\n';
        return 0;
    });
    EXPECT_EQ(linked.out, "0\n");
}

TEST(DatabaseEntryTest, InstalledLocationStaysStrictlyBelowFlash) {
    EXPECT_EQ(installedLocation("/flash/bin/a"), "/flash/bin/a");
    EXPECT_EQ(installedLocation("bin/a"), "/flash/bin/a");
    EXPECT_EQ(installedLocation("/bin/a"), "/flash/bin/a");
    // "/flashy" is not below "/flash": it is a path relative to the flash root.
    EXPECT_EQ(installedLocation("/flashy/a"), "/flash/flashy/a");
    EXPECT_EQ(installedLocation("flash/bin/a"), "/flash/flash/bin/a");
    for (const char* refused : {"", "/", "/flash", "/flash/", "/flash/./", "../etc/passwd",
                                "/flash/a/../../etc", "/flash/..", "a/.."})
        EXPECT_EQ(installedLocation(refused), "") << refused;
    EXPECT_EQ(installedLocation("/flash/a/..b"), "/flash/a/..b");
}

TEST(DatabaseEntryTest, OnlyDirectoriesWithPackageNamesAreEntries) {
    Sandbox sandbox;
    for (const char* name : {"good", "also-good_1", ".hidden", "with space", "tab\tname",
                             "new\nline"})
        sandbox.makeDirectory(std::string("/flash/var/pdb/") + name);
    sandbox.writeFile("/flash/var/pdb/tmpA1b2C3", "stray temporary file");
    ASSERT_EQ(symlink("good", sandbox.path("/flash/var/pdb/linked").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", sandbox.path("/flash/var/pdb/dangling").c_str()), 0);
    std::vector<std::string> names;
    ASSERT_TRUE(databaseEntryNames(sandbox.path("/flash/var/pdb"), names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"also-good_1", "good", "linked"}));
    EXPECT_FALSE(databaseEntryNames(sandbox.path("/flash/var/missing"), names));
}

// ---------------------------------------------------------------------------------------------
// Loading the whole database: images first, then the image store, then metadata-only entries.

namespace {

using testsupport::PackageBytes;
using testsupport::TestEntry;

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
        installer.loadDatabase(quiet, "ppc");
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
    EXPECT_EQ(byName.size(), 9u);
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
    EXPECT_EQ(byName["member"], "member v8 bundle=gone/0 isBundle=0 disabled=0 action=1 deps=0 note=");
    // An image that cannot be read leaves the entry to its (missing) metadata.
    EXPECT_EQ(byName["broken"], "broken v0 bundle=/0 isBundle=1 disabled=0 action=1 deps=0 note=");

    EXPECT_EQ(position["wifi"] + 1, position["vpn"]);
    EXPECT_EQ(position["vpn"] + 1, position["suite"]);
    for (const char* fromEntryImage : {"suite", "router", "broken"}) {
        EXPECT_LT(position[fromEntryImage], position["stored"]) << fromEntryImage;
    }
    for (const char* metadataOnly : {"meta", "leftover", "member"})
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
