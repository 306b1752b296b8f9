#include "resolve/space.h"

#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "staging/manifest.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::TmpfsMount;

constexpr int64_t kPage = 4096;

TEST(SpaceBlocks, SizesRoundUpToWholeBlocksWithoutOverflow) {
    EXPECT_EQ(blocksFor(0, kPage), 0);
    EXPECT_EQ(blocksFor(1, kPage), 1);
    EXPECT_EQ(blocksFor(kPage, kPage), 1);
    EXPECT_EQ(blocksFor(kPage + 1, kPage), 2);
    EXPECT_EQ(blocksFor(INT64_MAX, kPage), INT64_MAX / kPage + 1);
    EXPECT_EQ(blocksFor(int64_t{1} << 44, 1), int64_t{1} << 44);
}

// Staging done in the forked child, inside the sandbox root with its own file systems.
struct Stage {
    Manifest manifest;
    int64_t block = 0;  // the flash block size
    bool ok = true;

    void put(const std::string& path, int64_t bytes) {
        makeDirectories(parentDirectory(path));
        std::ofstream out(path, std::ios::binary);
        out << std::string(static_cast<size_t>(bytes), 'x');
        out.close();
        ok = ok && !out.fail();
    }
    void sparse(const std::string& path, int64_t bytes) {
        put(path, 0);
        ok = ok && truncate(path.c_str(), bytes) == 0;
    }
    int64_t marginBlocks() const { return kSpaceMarginBytes / block; }
    // Takes all of the flash but `leave` blocks.
    void fill(int64_t leave) {
        struct statfs info;
        ok = ok && statfs("/flash", &info) == 0 && static_cast<int64_t>(info.f_bfree) >= leave;
        if (ok) put("/flash/fill", (static_cast<int64_t>(info.f_bfree) - leave) * block);
    }
    void symlinkAt(const std::string& contents, const std::string& path) {
        ok = ok && symlink(contents.c_str(), path.c_str()) == 0;
    }
    void hardLink(const std::string& existing, const std::string& path) {
        ok = ok && link(existing.c_str(), path.c_str()) == 0;
    }
};

// The staging of each scenario.
using StageFn = void (*)(Stage&);

// Only a regular file's last name gives back room; outside "/flash" nothing counts.
void removalsOnAFullFlash(Stage& s) {
    s.put("/flash/plain", 3 * s.block);
    s.put("/flash/pointee", 10 * s.block);
    s.symlinkAt("/flash/pointee", "/flash/symlink");
    s.put("/flash/linked", 20 * s.block);
    s.hardLink("/flash/linked", "/flash/linked2");
    s.put("/ram/outside", 40 * s.block);
    makeDirectories("/flash/dir");
    s.fill(0);
    for (const char* path : {"/flash/plain", "/flash/symlink", "/flash/linked", "/flash/dir",
                             "/flash/missing", "/ram/outside"})
        s.manifest.record(path, Remove, "");
}
// From RAM: 5 blocks into a new directory, 4 replacing 3, 1 for 1 byte and for exactly one
// block, 2 for one byte more.
void movesFromRam(Stage& s) {
    s.put("/flash/old", 3 * s.block);
    const std::pair<std::string, int64_t> files[] = {{"/flash/var/pdb/pkg/new", 5 * s.block},
                                                     {"/flash/old", 4 * s.block},
                                                     {"/flash/one", 1},
                                                     {"/flash/exact", s.block},
                                                     {"/flash/over", s.block + 1}};
    for (const auto& [target, size] : files) {
        s.put("/ram" + target, size);
        s.manifest.record(target, MoveTemporary, "/ram" + target);
    }
}
// Renames within the flash (also into a directory still to be made) and links take nothing.
void sameFileSystemAndLinks(Stage& s) {
    s.put("/flash/big", 30 * s.block);
    s.put("/flash/.stage/t1", 20 * s.block);
    s.put("/flash/.stage/t2", 1);
    s.put("/ram/payload", 300 * s.block);
    s.fill(0);
    s.manifest.record("/flash/big", MoveTemporary, "/flash/.stage/t1");
    s.manifest.addMove("/flash/.stage/t2", "/flash/var/pdb/new/version");
    s.manifest.addLink("/ram/payload", "/flash/lib/big");
}
// The rename of a missing source fails at commit, so the target it names stays.
void missingSource(Stage& s) {
    s.put("/flash/big", 10 * s.block);
    s.put("/ram/new", 5 * s.block);
    s.fill(s.marginBlocks() + 2);
    s.manifest.addMove("/ram/gone", "/flash/big");
    s.manifest.addMove("/ram/new", "/flash/new");
}
template <int Blocks>
void moveLeavingMarginPlusTen(Stage& s) {
    s.put("/ram/new", Blocks * s.block);
    s.fill(s.marginBlocks() + 10);
    s.manifest.addMove("/ram/new", "/flash/new");
}
// The copy is written beside the file it replaces: both must fit at once.
template <int Free>
void replaceWith100Blocks(Stage& s) {
    s.put("/flash/old", 100 * s.block);
    s.put("/ram/new", 100 * s.block);
    s.fill(Free);
    s.manifest.addMove("/ram/new", "/flash/old");
}
// Without a boot file system of its own, "/flash/boot" lies on the flash (and may not exist).
void kernelIntoBootDirectory(Stage& s) {
    s.put("/ram/kernel", 2 * s.block);
    s.manifest.addMove("/ram/kernel", "/flash/boot/kernel");
}
void kernelIntoExistingBootDirectory(Stage& s) {
    makeDirectories("/flash/boot");
    kernelIntoBootDirectory(s);
}
// "/flash/bootimage" is no path below "/flash/boot".
template <int OldBlocks>
void newBootImage(Stage& s) {
    s.put("/flash/bootimage", OldBlocks * s.block);
    s.put("/ram/image", 4 * s.block);
    s.manifest.addMove("/ram/image", "/flash/bootimage");
}
// Staged in the main flash, the kernel lands on the boot file system: a copy, not a rename.
void kernelIntoBootFileSystem(Stage& s) {
    s.put("/flash/.stage/kernel", 70 * s.block);
    s.manifest.addMove("/flash/.stage/kernel", "/flash/boot/new/kernel");
}
// (2^32 + 1) blocks would count as one block in a 32-bit tally.
void hugeSparseFile(Stage& s) {
    s.sparse("/ram/huge", ((int64_t{1} << 32) + 1) * s.block);
    s.manifest.addMove("/ram/huge", "/flash/huge");
}
void oneBlock(Stage& s) {
    s.put("/ram/new", s.block);
    s.manifest.addMove("/ram/new", "/flash/new");
}

struct Scenario {
    const char* name;
    StageFn stage;
    bool fits;
    // Changes against the starting tallies, in flash blocks (the boot tally's in the same bytes).
    int64_t flashChange, flashLowest, bootChange;
    bool bootQueried = false;
    std::vector<TmpfsMount> mounts = {{"/flash", 1 << 20}, {"/ram", 2 << 20}};
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

const Scenario kScenarios[] = {
    {"EmptyManifest", [](Stage&) {}, true, 0, 0, 0},
    {"RemovalsOnAFullFlash", removalsOnAFullFlash, true, 3, 0, 0},
    // Every copy is in place before the replaced file goes.
    {"MovesFromRam", movesFromRam, true, -10, -13, 0},
    {"SameFileSystemAndLinks", sameFileSystemAndLinks, true, 0, 0, 0},
    {"MissingSourceFreesNothing", missingSource, false, -5, -5, 0},
    {"LeavingExactlyTheMarginFails", moveLeavingMarginPlusTen<10>, false, -10, -10, 0},
    {"LeavingOneBlockMoreFits", moveLeavingMarginPlusTen<9>, true, -9, -9, 0},
    {"ReplacementCopyLacksRoom", replaceWith100Blocks<99>, false, 0, -100, 0},
    {"ReplacementCopyJustFits", replaceWith100Blocks<100>, true, 0, -100, 0},
    {"MissingBootCountsOnTheFlash", kernelIntoBootDirectory, true, -2, -2, 0},
    {"BootDirectoryCountsOnceOnTheFlash", kernelIntoExistingBootDirectory, true, -2, -2, 0, true},
    {"SmallerBootImage", newBootImage<5>, true, 1, -4, 0},
    {"LargerBootImage", newBootImage<3>, true, -1, -4, 0},
    {"BootFileSystemOfItsOwn",
     kernelIntoBootFileSystem,
     false,
     0,
     0,
     -70,
     true,
     {{"/flash", 1 << 20}, {"/flash/boot", 256 << 10}}},
    {"FileOfMoreThan32BitsOfBlocks", hugeSparseFile, false, -((int64_t{1} << 32) + 1),
     -((int64_t{1} << 32) + 1), 0},
    // More than 2^31 free blocks and far more than 4 GiB.
    {"FlashBeyond32Bits",
     oneBlock,
     true,
     -1,
     -1,
     0,
     false,
     {{"/flash", uint64_t{9} << 40}, {"/ram", 1 << 20}}},
};

class SpacePlanning : public ::testing::TestWithParam<Scenario> {};

TEST_P(SpacePlanning, TalliesAndAnswer) {
    REQUIRE_ROOT_CHANGE();
    const Scenario& scenario = GetParam();
    testsupport::Sandbox sandbox;
    const auto run = testsupport::runInRoot(
        sandbox,
        [&] {
            Stage stage;
            struct statfs info;
            if (statfs("/flash", &info) != 0) return 2;
            stage.block = info.f_bsize;
            scenario.stage(stage);
            if (!stage.ok) return 3;
            const SpacePlan plan = planSpace(stage.manifest);
            auto bytes = [](const SpaceAccount& account, int64_t blocks) {
                return static_cast<long long>((blocks - account.freeBlocksAtStart) *
                                              account.blockSize);
            };
            std::printf("%d %lld %lld %lld %d %lld\n", hasEnoughSpace(stage.manifest),
                        static_cast<long long>(stage.block),
                        bytes(plan.flash, plan.flash.freeBlocks),
                        bytes(plan.flash, plan.flash.lowestFreeBlocks), plan.boot.queried,
                        bytes(plan.boot, plan.boot.freeBlocks));
            return 0;
        },
        {.mounts = scenario.mounts});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream report(run.out);
    int fits = -1, bootQueried = -1;
    int64_t block = 0, flashChange = 0, flashLowest = 0, bootChange = 0;
    report >> fits >> block >> flashChange >> flashLowest >> bootQueried >> bootChange;
    ASSERT_FALSE(report.fail()) << run.out;
    EXPECT_EQ(fits, scenario.fits);
    EXPECT_EQ(flashChange, scenario.flashChange * block);
    EXPECT_EQ(flashLowest, scenario.flashLowest * block);
    EXPECT_EQ(bootQueried, scenario.bootQueried);
    EXPECT_EQ(bootChange, scenario.bootChange * block);
}

INSTANTIATE_TEST_SUITE_P(OnSmallFileSystems, SpacePlanning, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
