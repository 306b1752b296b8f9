// Whether the staged file operations of a run fit into flash: a tally of free blocks for the
// boot file system and for the main flash file system, kept while walking the Manifest.
#pragma once

#include <cstdint>
#include <string>

namespace velmara {

class Manifest;

// The two file systems whose room is checked before an upgrade is committed.
inline constexpr const char* kBootMount = "/flash/boot";
inline constexpr const char* kFlashMount = "/flash";
// A file system that ends up with less net room than before must keep more than this many bytes
// free for the system to run on.
inline constexpr int64_t kSpaceMarginBytes = 32768;

// The free-block tally of one file system. Counts are 64-bit: a 32-bit tally wraps on file
// systems or files of more than 2^31 blocks, and its product with the block size wraps at 4 GiB.
struct SpaceAccount {
    std::string mountPath;   // path prefix whose files this tally counts
    uint32_t blockSize = 1;  // 1 when the file system could not be queried
    int64_t freeBlocks = 0;  // running tally (blocks available to the installer)
    int64_t freeBlocksAtStart = 0;
    // The lowest the tally falls while the commit copies files in: every copy is written beside
    // the file it replaces before any file is freed.
    int64_t lowestFreeBlocks = 0;
    bool queried = false;  // the file system answered; otherwise the counts mean nothing
};

// Blocks taken by a file of `size` bytes: the size rounded up to whole blocks, 0 for 0 bytes.
int64_t blocksFor(int64_t size, uint32_t blockSize);

// The account of the file system at `mountPath` as it is now.
SpaceAccount querySpace(const std::string& mountPath);

// Whole path components: "/flash/boot/kernel" is under "/flash/boot", "/flash/bootimage" not.
bool isUnderMount(const SpaceAccount& account, const std::string& path);

// Gives back the blocks that deleting `target` frees, when it lies under the mount.
void creditRemoval(SpaceAccount& account, const std::string& target);

// Accounts for `source` becoming `target` at the commit: free on the same file system (a
// rename), otherwise the source's blocks are taken. True in that case: the replaced target's
// blocks come back once the commit is through.
bool debitWrite(SpaceAccount& account, const std::string& source, const std::string& target);

// True when the account leaves enough room after the tallied changes.
[[nodiscard]] bool leavesEnoughRoom(const SpaceAccount& account);

struct SpacePlan {
    SpaceAccount boot;
    SpaceAccount flash;
};

// Both tallies after every staged operation of the manifest, in the order the commit performs
// them: all copies first, then the removals and the replaced files. Each path counts once,
// against the file system that will hold it. Changes nothing on disk.
SpacePlan planSpace(const Manifest& manifest);

// True when the staged changes fit into both file systems. Reports nothing: the caller says why
// it refuses the upgrade.
[[nodiscard]] bool hasEnoughSpace(const Manifest& manifest);

}  // namespace velmara
