#include "pkgdb/database.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr const char* kTemporaryPattern = "/tmpXXXXXX";

bool pathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string databaseDir(const PackageRecord& record) {
    return std::string(kDatabaseRoot) + record.name + "/";
}

std::string replacementDirectory(const std::string& target, uint64_t sizeHint) {
    if (sizeHint == 0) return pathExists(kRamDirectory) ? kRamDirectory : kFallbackTemporaryDirectory;

    // The target's directory may not exist yet (a new package's entry): its nearest existing
    // ancestor is on the same filesystem once the commit creates it.
    std::string directory = parentDirectory(target);
    struct statfs info;
    while (statfs(directory.c_str(), &info) != 0) {
        if (directory == "/" || directory == ".") return kRamDirectory;
        directory = parentDirectory(directory);
    }
    const uint64_t freeBytes = static_cast<uint64_t>(info.f_bfree) * info.f_bsize;
    if (freeBytes > kReplacementMargin && sizeHint < freeBytes - kReplacementMargin)
        return directory;
    return kRamDirectory;
}

bool openReplacement(std::ofstream& out, Manifest& manifest, const std::string& target,
                     uint64_t sizeHint, unsigned mode) {
    if (out.is_open()) out.close();
    out.clear();

    std::string temporary = replacementDirectory(target, sizeHint) + kTemporaryPattern;
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        // Staging a move from a file that was never made would only fail later, at the commit.
        out.setstate(std::ios::failbit);
        return false;
    }
    close(fd);
    if (mode != 0) chmod(temporary.c_str(), mode);

    manifest.record(target, MoveTemporary, temporary);
    out.open(temporary, std::ios::out | std::ios::binary | std::ios::trunc);
    return out.is_open();
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
    if (pending->second.kind == MoveTemporary) unlink(pending->second.source.c_str());
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
