#include "staging/manifest.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

#include "staging/temporaries.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::Sandbox;

class ManifestTest : public ::testing::Test {
protected:
    std::string at(const std::string& inside) { return sandbox.path(inside); }
    Sandbox sandbox;
    testsupport::StagingInside staging{sandbox};
    Manifest manifest;
};

TEST_F(ManifestTest, ReplacingATemporaryMoveDeletesItsFileAtOnce) {
    sandbox.writeFile("/tmp/t1", "1");
    manifest.record(at("/flash/a"), MoveTemporary, at("/tmp/t1"));
    manifest.addMove(at("/tmp/other"), at("/flash/a"));
    EXPECT_FALSE(sandbox.exists("/tmp/t1"));
    ASSERT_EQ(manifest.size(), 1u);
    EXPECT_EQ(manifest.begin()->second.kind, Move);
    EXPECT_EQ(manifest.begin()->second.source, at("/tmp/other"));
    // A replaced plain move keeps its source: it is not this run's file.
    sandbox.writeFile("/tmp/other", "x");
    manifest.record(at("/flash/a"), Remove, "");
    EXPECT_TRUE(sandbox.exists("/tmp/other"));
}

TEST_F(ManifestTest, DiscardDeletesOnlyTemporarySources) {
    sandbox.writeFile("/tmp/t1", "1");
    sandbox.writeFile("/tmp/plain", "2");
    manifest.record(at("/flash/a"), MoveTemporary, at("/tmp/t1"));
    manifest.addMove(at("/tmp/plain"), at("/flash/b"));
    manifest.discard();
    EXPECT_TRUE(manifest.empty());
    EXPECT_FALSE(sandbox.exists("/tmp/t1"));
    EXPECT_TRUE(sandbox.exists("/tmp/plain"));
    EXPECT_FALSE(sandbox.exists("/flash/a"));
}

TEST_F(ManifestTest, IterationIsInBytewiseTargetOrder) {
    manifest.record("/flash/b", Remove, "");
    manifest.record("/flash/a/z", Remove, "");
    manifest.record("/flash/a", Remove, "");
    manifest.record("/flash/\xc3", Remove, "");
    std::vector<std::string> order;
    for (const auto& [target, entry] : manifest) order.push_back(target);
    EXPECT_EQ(order, (std::vector<std::string>{"/flash/a", "/flash/a/z", "/flash/b",
                                               "/flash/\xc3"}));
}

TEST_F(ManifestTest, CommitRemovesAndLinksBeforeMoving) {
    // The move's target directory is removed in the first pass; the move then recreates it, so
    // the new file survives only if removals run first.
    sandbox.writeFile("/flash/pkg/old", "old");
    sandbox.writeFile("/tmp/new", "new");
    manifest.record(at("/flash/pkg"), Remove, "");
    manifest.record(at("/flash/pkg/new"), MoveTemporary, at("/tmp/new"));
    manifest.addLink("/flash/bootimage", at("/flash/var/pdb/x/image"));
    sandbox.writeFile("/flash/var/pdb/x/image", "a regular file in the way");
    ASSERT_EQ(manifest.commit(false), Manifest::Result::Done);
    EXPECT_EQ(sandbox.readFile("/flash/pkg/new"), "new");
    EXPECT_FALSE(sandbox.exists("/flash/pkg/old"));
    EXPECT_FALSE(sandbox.exists("/tmp/new"));
    char contents[64] = {};
    ASSERT_GT(readlink(at("/flash/var/pdb/x/image").c_str(), contents, sizeof contents - 1), 0);
    EXPECT_STREQ(contents, "/flash/bootimage");
    EXPECT_FALSE(manifest.empty());
}

TEST_F(ManifestTest, DirectoryRemovalKeepsHiddenFilesAndSubdirectories) {
    sandbox.writeFile("/flash/d/plain", "1");
    sandbox.writeFile("/flash/d/.hidden", "2");
    sandbox.writeFile("/flash/e/plain", "3");
    sandbox.writeFile("/flash/e/sub/f", "4");
    manifest.record(at("/flash/d"), Remove, "");
    manifest.record(at("/flash/e"), Remove, "");
    manifest.record(at("/flash/missing"), Remove, "");
    ASSERT_EQ(manifest.commit(false), Manifest::Result::Done);
    EXPECT_FALSE(sandbox.exists("/flash/d/plain"));
    EXPECT_TRUE(sandbox.exists("/flash/d/.hidden"));
    EXPECT_FALSE(sandbox.exists("/flash/e/plain"));
    EXPECT_TRUE(sandbox.exists("/flash/e/sub/f"));
    sandbox.writeFile("/flash/f/only", "5");
    Manifest second;
    second.record(at("/flash/f"), Remove, "");
    ASSERT_EQ(second.commit(false), Manifest::Result::Done);
    EXPECT_FALSE(sandbox.exists("/flash/f"));
}

TEST_F(ManifestTest, MissingSourceRefusesTheWholeCommit) {
    REQUIRE_ROOT_CHANGE();
    sandbox.writeFile("/tmp/b", "b");
    sandbox.writeFile("/flash/old", "old");
    const auto result = testsupport::runInRoot(sandbox, [] {
        Manifest m;
        m.addMove("/tmp/missing", "/flash/a");
        m.addMove("/tmp/b", "/flash/b");
        m.record("/flash/old", Remove, "");
        return int(m.commit(false));
    });
    EXPECT_EQ(result.status, int(Manifest::Result::Refused));
    EXPECT_EQ(result.out,
              "ERROR: nothing committed: could not read /tmp/missing: No such file or directory\n");
    EXPECT_FALSE(sandbox.exists("/flash/b"));
    EXPECT_EQ(sandbox.readFile("/flash/old"), "old");
    EXPECT_FALSE(sandbox.exists("/flash/.installer-journal"));
}

TEST_F(ManifestTest, MoveAcrossFilesystemsCopiesKeepsSourceAndSpins) {
    REQUIRE_ROOT_CHANGE();
    sandbox.writeFile("/flash/old", "previous");
    const auto result = testsupport::runInRoot(
        sandbox,
        [] {
            std::string data(100000, 'd');
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
            FILE* f = fopen("/ram/staged", "w");
            fwrite(data.data(), 1, data.size(), f);
            fclose(f);
            chmod("/ram/staged", 04751);
            mkdir("/ram/dir", 0755);
            Manifest m;
            m.addMove("/ram/staged", "/flash/old");
            m.addMove("/ram/dir", "/flash/dir");
            if (m.commit(true) != Manifest::Result::Done) return 1;
            struct stat info;
            if (stat("/ram/staged", &info) != 0) return 2;  // the source stays
            if (stat("/flash/old", &info) != 0 || (info.st_mode & 07777) != 04751) return 3;
            if (stat("/flash/dir", &info) == 0) return 4;  // directories are not copied
            return 0;
        },
        {.mounts = {{"/ram", 1 << 20}}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // The first character of the process is drawn without a backspace.
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out[0], '|');
    const std::string data = sandbox.readFile("/flash/old");
    ASSERT_EQ(data.size(), 100000u);
    EXPECT_EQ(data[99999], static_cast<char>(99999 * 7));
}

TEST_F(ManifestTest, CopyShortOfRoomSaysSoAndLeavesNothing) {
    REQUIRE_ROOT_CHANGE();
    sandbox.writeFile("/ram/big", std::string(256 * 1024, 'n'));
    sandbox.writeFile("/ram/small", "s");
    // The tmpfs lives only in the child's namespace, so the outcome is checked in there.
    const auto inside = testsupport::runInRoot(
        sandbox,
        [] {
            std::string temporary;
            if (copyToTemporary("/ram/big", "/flash", false, temporary)) return 1;
            // The cause of the failed write, not whatever an earlier call left in errno.
            if (errno != ENOSPC) return 2;
            int names = 0;
            DIR* dir = opendir("/flash");
            while (const dirent* e = readdir(dir)) names += isTemporaryName(e->d_name);
            closedir(dir);
            if (names != 0) return 3;
            if (!copyToTemporary("/ram/small", "/flash", false, temporary)) return 4;
            return isTemporaryName(temporary) && parentDirectory(temporary) == "/flash" ? 0 : 5;
        },
        {.mounts = {{"/flash", 64 * 1024}}});
    EXPECT_EQ(inside.status, 0) << inside.err;
}

TEST_F(ManifestTest, SaveAndLoadRoundTrip) {
    const std::string staged = at("/ram/.installer-tmp-Ab12Cd");
    manifest.record("/flash/a", MoveTemporary, "/tmp/x1");
    manifest.record("/flash/b", MoveTemporary, staged);
    manifest.addMove("/flash/var/pdb/image", "/flash/bootimage");
    manifest.addLink("/flash/bootimage", "/flash/var/pdb/sys/image");
    manifest.record("/flash/gone", Remove, "");
    ASSERT_TRUE(manifest.save(at("/ram/MANIFEST")));
    EXPECT_EQ(sandbox.readFile("/ram/MANIFEST"),
              "M /flash/a /tmp/x1\n"
              "M /flash/b " +
                  staged +
                  "\n"
                  "M /flash/bootimage /flash/var/pdb/image\n"
                  "U /flash/gone\n"
                  "L /flash/var/pdb/sys/image /flash/bootimage\n");
    Manifest loaded;
    EXPECT_TRUE(loaded.load(at("/ram/MANIFEST")));
    ASSERT_EQ(loaded.size(), 5u);
    for (const auto& [target, entry] : manifest) {
        auto found = loaded.find(target);
        ASSERT_NE(found, loaded.end()) << target;
        // Only a source with the temporary name is known to be the set's own file again.
        EXPECT_EQ(found->second.kind,
                  entry.kind == MoveTemporary && entry.source != staged ? Move : entry.kind);
        EXPECT_EQ(found->second.source, entry.source);
    }
    // Discarding a loaded set deletes its own files only.
    sandbox.writeFile("/tmp/x1", "keep");
    sandbox.writeFile("/ram/.installer-tmp-Ab12Cd", "staged");
    Manifest fromDisk;
    EXPECT_TRUE(fromDisk.load(at("/ram/MANIFEST")));
    fromDisk.discard();
    EXPECT_EQ(sandbox.readFile("/tmp/x1"), "keep");
    EXPECT_FALSE(sandbox.exists("/ram/.installer-tmp-Ab12Cd"));
}

TEST_F(ManifestTest, AListOfThousandsOfFilesIsSavedWhole) {
    // Some 200 KiB of saved text, which leaves in several blocks.
    for (int i = 0; i < 3000; ++i)
        manifest.addMove("/ram/.installer-tmp-" + std::to_string(i),
                         "/flash/lib/dir" + std::to_string(i % 300) + "/file" + std::to_string(i));
    ASSERT_TRUE(manifest.save(at("/ram/MANIFEST")));
    EXPECT_GT(sandbox.readFile("/ram/MANIFEST").size(), 150000u);
    Manifest loaded;
    EXPECT_TRUE(loaded.load(at("/ram/MANIFEST")));
    ASSERT_EQ(loaded.size(), manifest.size());
    for (const auto& [target, entry] : manifest) {
        auto found = loaded.find(target);
        ASSERT_NE(found, loaded.end()) << target;
        EXPECT_EQ(found->second.source, entry.source);
    }
}

TEST_F(ManifestTest, PathsWithSeparatorsSurviveTheSavedForm) {
    const std::string odd = "/flash/a b\tc\nd\\e";
    manifest.addMove("/ram/src with space", odd);
    manifest.record("/flash/\\134literal", Remove, "");
    ASSERT_TRUE(manifest.save(at("/ram/MANIFEST")));
    EXPECT_EQ(sandbox.readFile("/ram/MANIFEST"),
              "U /flash/\\134134literal\n"
              "M /flash/a\\040b\\011c\\012d\\134e /ram/src\\040with\\040space\n");
    Manifest loaded;
    EXPECT_TRUE(loaded.load(at("/ram/MANIFEST")));
    ASSERT_EQ(loaded.size(), 2u);
    ASSERT_NE(loaded.find(odd), loaded.end());
    EXPECT_EQ(loaded.find(odd)->second.source, "/ram/src with space");
    EXPECT_NE(loaded.find("/flash/\\134literal"), loaded.end());
}

TEST_F(ManifestTest, MalformedLinesStopOrAreSkipped) {
    sandbox.writeFile("/ram/M1", "U /flash/a\nX /flash/skipped y\nM /flash/b /src\nM /flash/c\nU /flash/d\n");
    Manifest first;
    EXPECT_TRUE(first.load(at("/ram/M1")));
    EXPECT_EQ(first.size(), 2u);
    EXPECT_NE(first.find("/flash/a"), first.end());
    EXPECT_NE(first.find("/flash/b"), first.end());
    EXPECT_EQ(first.find("/flash/d"), first.end());

    sandbox.writeFile("/ram/M2", "U /flash/a\n\nU /flash/b\n");
    Manifest second;
    EXPECT_TRUE(second.load(at("/ram/M2")));
    EXPECT_EQ(second.size(), 1u);

    sandbox.writeFile("/ram/M3", "U\nU /flash/b\n");
    Manifest third;
    EXPECT_TRUE(third.load(at("/ram/M3")));
    EXPECT_TRUE(third.empty());

    Manifest missing;
    EXPECT_TRUE(missing.load(at("/ram/none")));
    EXPECT_TRUE(missing.empty());
}

TEST(PathFunctions, ParentDirectoryAndMakeDirectories) {
    EXPECT_EQ(parentDirectory("/a/b/"), "/a");
    EXPECT_EQ(parentDirectory("/a/b"), "/a");
    EXPECT_EQ(parentDirectory("name"), ".");
    EXPECT_EQ(parentDirectory("/"), ".");
    EXPECT_EQ(parentDirectory("/a"), "/");
    Sandbox sandbox;
    makeDirectories(sandbox.path("/flash/x/y/z"));
    struct stat info;
    ASSERT_EQ(stat(sandbox.path("/flash/x/y/z").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(SpinnerTest, FirstDrawHasNoBackspaceAndLaterOnesCatchUpOneStepPerBlock) {
    Spinner spinner;
    std::ostringstream out;
    spinner.step(out, 1000);
    EXPECT_EQ(out.str(), "|");
    spinner.step(out, 1020);  // not more than 20 ticks: nothing
    EXPECT_EQ(out.str(), "|");
    spinner.step(out, 1100);  // a stall: one step per block, not a jump
    spinner.step(out, 1100);
    spinner.step(out, 1100);
    spinner.step(out, 1100);
    EXPECT_EQ(out.str(), "|\b/\b-\b\\\b|");
    EXPECT_EQ(spinner.lastDraw, 1080u);
}

TEST(ClockTicksTest, AdvancesWithTime) {
    const uint32_t before = clockTicks();
    usleep(50000);
    EXPECT_GT(clockTicks() - before, 0u);
}

}  // namespace
