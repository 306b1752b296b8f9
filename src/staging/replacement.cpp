#include "staging/replacement.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "staging/temporaries.h"

namespace velmara {

namespace {

// Temporary files made without a mode of their own: only the installer reads them.
constexpr unsigned kNewFileMode = 0600;

bool pathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

bool examineRoom(const std::string& directory, StagingRoom& room) {
    struct statfs info;
    if (statfs(directory.c_str(), &info) != 0) return false;
    // What the file system lets the installer use: ext4 keeps blocks back that even root cannot.
    room.free = static_cast<uint64_t>(info.f_bavail) * info.f_bsize;
    room.blockSize = info.f_bsize > 0 ? uint64_t(info.f_bsize) : 1;
    room.placed = 0;
    return true;
}

std::string stagingDirectory(const std::string& directory, StagingRoom& room, uint64_t size) {
    // Earlier files take whole blocks; the margin covers this one's last block.
    const uint64_t used = room.placed + kReplacementMargin;
    if (room.free <= used || size >= room.free - used) return kRamDirectory;
    const uint64_t blocks = size / room.blockSize + (size % room.blockSize != 0);
    room.placed += blocks * room.blockSize;
    return directory;
}

std::string replacementDirectory(const std::string& target, uint64_t sizeHint) {
    if (sizeHint == 0)
        return pathExists(kRamDirectory) ? kRamDirectory : kFallbackTemporaryDirectory;
    // The target's directory may not exist yet (a new package's entry): its nearest existing
    // ancestor is on the same filesystem once the commit creates it.
    const std::string directory = nearestExistingDirectory(target);
    StagingRoom room;
    if (!examineRoom(directory, room)) return kRamDirectory;
    return stagingDirectory(directory, room, sizeHint);
}

int createReplacement(Manifest& manifest, const std::string& target, const std::string& directory,
                      unsigned mode) {
    std::string temporary;
    const int fd = makeTemporary(directory, temporary, mode);
    // Staging a move from a file that was never made would only fail later, at the commit.
    if (fd < 0) return -1;
    manifest.record(target, MoveTemporary, temporary);
    return fd;
}

bool openReplacement(std::ofstream& out, Manifest& manifest, const std::string& target,
                     uint64_t sizeHint, unsigned mode) {
    if (out.is_open()) out.close();
    out.clear();
    const int fd = createReplacement(manifest, target, replacementDirectory(target, sizeHint),
                                     mode == 0 ? kNewFileMode : mode);
    if (fd < 0) {
        out.setstate(std::ios::failbit);
        return false;
    }
    const std::string temporary = manifest.find(target)->second.source;
    close(fd);
    // Opened again without truncating: a file truncated to nothing is written back at its close
    // on ext4, which costs a flash write for each small file.
    out.open(temporary, std::ios::in | std::ios::out | std::ios::binary);
    return out.is_open();
}

bool stageFile(Manifest& manifest, const std::string& path, uint64_t sizeHint,
               const std::string& text) {
    std::ofstream out;
    if (!openReplacement(out, manifest, path, sizeHint, 0)) return false;
    out << text;
    out.flush();
    if (!out.good()) return false;
    out.close();
    return !out.fail();
}

void scheduleRemoval(Manifest& manifest, const std::string& path) {
    // lstat: a dangling symbolic link is still a path to remove.
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
        manifest.record(path, Remove, "");
        return;
    }
    auto pending = manifest.find(path);
    if (pending == manifest.end()) return;
    // Nothing else refers to a dropped temporary file; leaving it would only fill RAM or flash.
    if (pending->second.kind == MoveTemporary) removeTemporary(pending->second.source);
    manifest.erase(pending);
}

bool claimDirectory(Manifest& manifest, const std::string& path) {
    auto pending = manifest.find(path);
    if (pending != manifest.end()) {
        if (pending->second.kind != Remove) return false;
        manifest.erase(pending);
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return true;
    return S_ISDIR(info.st_mode);
}

}  // namespace velmara
