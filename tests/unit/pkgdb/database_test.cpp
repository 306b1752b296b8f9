// The staged-write primitives: where replacements are made, and how removals and directory
// claims interact with operations already pending.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <iostream>

#include "pkgdb/database.h"
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
