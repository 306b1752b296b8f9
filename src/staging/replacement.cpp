#include "staging/replacement.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "staging/temporaries.h"

namespace velmara {

namespace {

bool pathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string replacementDirectory(const std::string& target, uint64_t sizeHint) {
    if (sizeHint == 0)
        return pathExists(kRamDirectory) ? kRamDirectory : kFallbackTemporaryDirectory;

    // The target's directory may not exist yet (a new package's entry): its nearest existing
    // ancestor is on the same filesystem once the commit creates it.
    std::string directory = parentDirectory(target);
    struct statfs info;
    while (statfs(directory.c_str(), &info) != 0) {
        if (directory == "/" || directory == ".") return kRamDirectory;
        directory = parentDirectory(directory);
    }
    // What the file system lets the installer use: ext4 keeps blocks back that even root cannot.
    const uint64_t freeBytes = static_cast<uint64_t>(info.f_bavail) * info.f_bsize;
    if (freeBytes > kReplacementMargin && sizeHint < freeBytes - kReplacementMargin)
        return directory;
    return kRamDirectory;
}

bool openReplacement(std::ofstream& out, Manifest& manifest, const std::string& target,
                     uint64_t sizeHint, unsigned mode) {
    if (out.is_open()) out.close();
    out.clear();

    std::string temporary;
    const int fd = makeTemporary(replacementDirectory(target, sizeHint), temporary);
    if (fd < 0) {
        // Staging a move from a file that was never made would only fail later, at the commit.
        out.setstate(std::ios::failbit);
        return false;
    }
    close(fd);
    // A file that cannot get its mode would be installed with the temporary file's 0600.
    if (mode != 0 && chmod(temporary.c_str(), mode) != 0) {
        const int cause = errno;
        unlink(temporary.c_str());
        errno = cause;
        out.setstate(std::ios::failbit);
        return false;
    }

    manifest.record(target, MoveTemporary, temporary);
    out.open(temporary, std::ios::out | std::ios::binary | std::ios::trunc);
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
