#include "resolve/space.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "staging/manifest.h"

namespace velmara {

namespace {

// Without large-file support a 32-bit build's stat fails on files over 2 GiB and statfs on big
// file systems, and every such entry would silently count nothing.
static_assert(sizeof(off_t) >= 8, "build with _FILE_OFFSET_BITS=64");

constexpr int64_t kMostBlocks = std::numeric_limits<int64_t>::max();
constexpr int64_t kFewestBlocks = std::numeric_limits<int64_t>::min();

// Saturating, so that absurd sizes end in "too little room" instead of wrapping around.
int64_t addBlocks(int64_t tally, int64_t blocks) {
    int64_t sum;
    if (__builtin_add_overflow(tally, blocks, &sum))
        return blocks > 0 ? kMostBlocks : kFewestBlocks;
    return sum;
}

int64_t subtractBlocks(int64_t tally, int64_t blocks) {
    int64_t difference;
    if (__builtin_sub_overflow(tally, blocks, &difference))
        return blocks > 0 ? kFewestBlocks : kMostBlocks;
    return difference;
}

uint32_t usableBlockSize(const SpaceAccount& account) {
    return account.blockSize == 0 ? 1 : account.blockSize;
}

// The devices of the file systems that hold the paths of one plan, each directory examined once:
// a package's hundreds of files in a few directories cost a few calls.
class Devices {
  public:
    // The device of the file system that will hold `path`: that of its nearest existing
    // ancestor directory, since the commit creates the missing ones there. False when none
    // exists.
    bool of(const std::string& path, dev_t& device) {
        const std::string parent = parentDirectory(path);
        auto known = directories_.find(parent);
        if (known == directories_.end()) {
            std::string directory = parent;
            struct stat info;
            bool found = true;
            while (stat(directory.c_str(), &info) != 0) {
                if (directory == "/" || directory == ".") {
                    found = false;
                    break;
                }
                directory = parentDirectory(directory);
            }
            known = directories_.emplace(parent, std::make_pair(found, info.st_dev)).first;
        }
        device = known->second.second;
        return known->second.first;
    }

  private:
    std::unordered_map<std::string, std::pair<bool, dev_t>> directories_;
};

bool debit(SpaceAccount& account, const std::string& source, const std::string& target,
           Devices& devices) {
    if (!isUnderMount(account, target)) return false;
    // Within one file system the move is a rename: the source's blocks are already taken, and
    // the replaced target is not counted back, which errs on the safe side. A source's file
    // system is that of its directory.
    dev_t at, from;
    if (devices.of(target, at) && devices.of(source, from) && at == from) return false;
    struct stat info;
    // Without a source the commit is refused and the target stays: nothing changes.
    if (stat(source.c_str(), &info) != 0) return false;
    if (devices.of(target, at) && at == info.st_dev) return false;
    // Across file systems only regular files are copied; anything else leaves the target as is.
    if (!S_ISREG(info.st_mode)) return false;
    account.freeBlocks =
        subtractBlocks(account.freeBlocks, blocksFor(info.st_size, account.blockSize));
    return true;
}

}  // namespace

int64_t blocksFor(int64_t size, uint32_t blockSize) {
    if (size <= 0) return 0;
    const int64_t unit = blockSize == 0 ? 1 : blockSize;
    // Divide first: (size - 1 + unit) overflows for sizes near the 64-bit limit.
    return size / unit + (size % unit != 0 ? 1 : 0);
}

SpaceAccount querySpace(const std::string& mountPath) {
    SpaceAccount account;
    account.mountPath = mountPath;
    struct statfs info;
    if (statfs(mountPath.c_str(), &info) != 0) return account;
    // A block size of 0 or beyond 32 bits cannot be counted in; treat it as no answer.
    if (info.f_bsize <= 0 ||
        static_cast<uint64_t>(info.f_bsize) > std::numeric_limits<uint32_t>::max())
        return account;
    account.blockSize = static_cast<uint32_t>(info.f_bsize);
    // What the file system lets the installer use: ext4 keeps blocks back that even root cannot,
    // and a commit counted on them would run out of room halfway.
    const uint64_t freeBlocks = info.f_bavail;
    account.freeBlocks = static_cast<int64_t>(std::min<uint64_t>(freeBlocks, kMostBlocks));
    account.freeBlocksAtStart = account.freeBlocks;
    account.lowestFreeBlocks = account.freeBlocks;
    account.queried = true;
    return account;
}

bool isUnderMount(const SpaceAccount& account, const std::string& path) {
    const std::string& mount = account.mountPath;
    if (path.compare(0, mount.size(), mount) != 0) return false;
    return path.size() == mount.size() || path[mount.size()] == '/' ||
           (!mount.empty() && mount.back() == '/');
}

void creditRemoval(SpaceAccount& account, const std::string& target) {
    if (!isUnderMount(account, target)) return;
    struct stat info;
    // lstat: deleting a symbolic link frees the link, not the file it points to (a package's
    // image link to the boot image would otherwise give the boot image's room back twice).
    if (lstat(target.c_str(), &info) != 0) return;
    // Only the last name of a regular file takes its data with it; a directory's removal may
    // leave it in place, and other kinds hold no data blocks worth counting.
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1) return;
    account.freeBlocks = addBlocks(account.freeBlocks, blocksFor(info.st_size, account.blockSize));
}

bool debitWrite(SpaceAccount& account, const std::string& source, const std::string& target) {
    Devices devices;
    return debit(account, source, target, devices);
}

bool leavesEnoughRoom(const SpaceAccount& account) {
    // A copy that runs out of room midway leaves the installation half replaced, even when the
    // final tally would fit. An account without an answer has no meaningful low point.
    if (account.queried && account.lowestFreeBlocks < 0) return false;
    // A file system that did not lose room passes however full it is.
    if (account.freeBlocks >= account.freeBlocksAtStart) return true;
    // freeBlocks × blockSize > margin, without forming the product; a negative tally fails.
    return account.freeBlocks > kSpaceMarginBytes / usableBlockSize(account);
}

namespace {

// One tally and the file system it counts, when that is known.
struct CountedFileSystem {
    SpaceAccount* account;
    bool known;
    dev_t device;
};

CountedFileSystem counted(SpaceAccount& account) {
    struct stat info;
    const bool known = account.queried && stat(account.mountPath.c_str(), &info) == 0;
    return {&account, known, known ? info.st_dev : dev_t{}};
}

// The tally a path counts against, of those whose mount path contains it: the one whose file
// system will hold it, the outermost when both are one file system (a board without a boot
// file system of its own), so that it is counted once. When it lies on neither, or nothing
// can tell, the innermost counts it, as before: room that cannot be known is not assumed.
SpaceAccount* holdingAccount(const CountedFileSystem (&systems)[2], const std::string& path,
                             Devices& devices) {
    dev_t device;
    const bool located = devices.of(path, device);
    SpaceAccount* innermost = nullptr;
    for (const CountedFileSystem& system : systems) {
        if (!isUnderMount(*system.account, path)) continue;
        if (located && system.known && system.device == device) return system.account;
        if (!innermost || system.account->mountPath.size() > innermost->mountPath.size())
            innermost = system.account;
    }
    return innermost;
}

}  // namespace

SpacePlan planSpace(const Manifest& manifest) {
    SpacePlan plan{querySpace(kBootMount), querySpace(kFlashMount)};
    // Outermost first: it wins when both mount paths lie on one file system.
    const CountedFileSystem systems[] = {counted(plan.flash), counted(plan.boot)};
    // The commit copies every file from another file system beside its target before it changes
    // anything, so all copies and all the files they replace take room at once: the tightest
    // moment. Links are not counted: replacing a file by a link only frees room.
    std::vector<std::pair<SpaceAccount*, std::string>> replaced;
    Devices devices;
    for (const auto& [target, entry] : manifest) {
        if (entry.kind != Move && entry.kind != MoveTemporary) continue;
        SpaceAccount* account = holdingAccount(systems, target, devices);
        if (account && debit(*account, entry.source, target, devices))
            replaced.emplace_back(account, target);
    }
    for (SpaceAccount* account : {&plan.boot, &plan.flash})
        account->lowestFreeBlocks = std::min(account->lowestFreeBlocks, account->freeBlocks);
    for (const auto& [account, target] : replaced) creditRemoval(*account, target);
    for (const auto& [target, entry] : manifest) {
        if (entry.kind != Remove) continue;
        if (SpaceAccount* account = holdingAccount(systems, target, devices))
            creditRemoval(*account, target);
    }
    return plan;
}

bool hasEnoughSpace(const Manifest& manifest) {
    const SpacePlan plan = planSpace(manifest);
    return leavesEnoughRoom(plan.boot) && leavesEnoughRoom(plan.flash);
}

}  // namespace velmara
