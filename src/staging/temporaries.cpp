#include "staging/temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "report/reporter.h"
#include "staging/manifest.h"

namespace velmara {

namespace {

constexpr const char* kTemporarySuffix = "XXXXXX";
// Where temporary files are made outside flash: only the directories themselves, never below.
constexpr const char* kRamDirectories[] = {"/ram", "/tmp"};
constexpr const char* kFlashDirectory = "/flash";
constexpr int kLinkAttempts = 8;

bool durable = true;
bool leftover = false;
// The marker already made durable by this process.
std::string markedAt;

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void sweepDirectory(const std::string& directory, const std::set<std::string>& keep, bool recurse) {
    DIR* dir = opendir(directory.c_str());
    // What could not be looked at may hold leftovers: the marker stays for the next run.
    if (!dir) {
        if (errno != ENOENT) leftover = true;
        return;
    }
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = (directory == "/" ? "" : directory) + "/" + name;
        if (isDirectoryEntry(path, entry->d_type)) {
            if (recurse) sweepDirectory(path, keep, true);
        } else if (isTemporaryName(name) && keep.count(path) == 0) {
            removeTemporary(path);
        }
        errno = 0;
    }
    if (errno != 0) leftover = true;
    closedir(dir);
}

// The nearest ancestor of `path` that is a directory ("/" at the latest).
std::string nearestExistingDirectory(const std::string& path) {
    std::string directory = parentDirectory(path);
    struct stat info;
    while (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (directory == "/" || directory == ".") break;
        directory = parentDirectory(directory);
    }
    return directory;
}

}  // namespace

StagingFiles& stagingFiles() {
    static StagingFiles files;
    return files;
}

bool isTemporaryName(const std::string& path) {
    return baseName(path).compare(0, std::strlen(kTemporaryPrefix), kTemporaryPrefix) == 0;
}

int makeTemporary(const std::string& directory, std::string& path) {
    if (!markStaging()) return -1;
    path = (directory == "/" ? "" : directory) + "/" + kTemporaryPrefix + kTemporarySuffix;
    return mkostemp(path.data(), O_CLOEXEC);
}

bool makeTemporaryLink(const std::string& directory, const std::string& contents,
                       std::string& path) {
    if (!markStaging()) return false;
    // mkstemp has no form for links: its unique name is taken over by the link.
    for (int attempt = 0; attempt < kLinkAttempts; ++attempt) {
        const int fd = makeTemporary(directory, path);
        if (fd < 0) return false;
        close(fd);
        if (unlink(path.c_str()) != 0) {
            removeTemporary(path);
            return false;
        }
        if (symlink(contents.c_str(), path.c_str()) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

bool markStaging() {
    const std::string& marker = stagingFiles().marker;
    if (markedAt == marker) return true;
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool made = !durable || fsync(fd) == 0;
    const int cause = errno;
    close(fd);
    errno = cause;
    // Its name must be on flash before any temporary file's is, or a power cut could leave
    // temporary files that no run would look for.
    made = made && (!durable || syncDirectory(parentDirectory(marker)));
    if (made) markedAt = marker;
    return made;
}

void removeTemporary(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) leftover = true;
}

bool sweepTemporaries(const std::set<std::string>& keep) {
    struct stat info;
    if (lstat(stagingFiles().marker.c_str(), &info) != 0) return false;
    sweepDirectory(kFlashDirectory, keep, true);
    for (const char* directory : kRamDirectories) sweepDirectory(directory, keep, false);
    return true;
}

void endStaging(bool pending) {
    if (pending || leftover) return;
    // Not synced: should the marker come back after a power cut, the next run only looks once
    // more and finds nothing.
    if (unlink(stagingFiles().marker.c_str()) == 0 || errno == ENOENT) markedAt.clear();
}

void setDurableWrites(bool on) {
    durable = on;
}

bool durableWrites() {
    return durable;
}

bool isDirectoryEntry(const std::string& path, unsigned char type) {
    if (type != DT_UNKNOWN) return type == DT_DIR;
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void SyncSet::add(const std::string& path) {
    struct stat info;
    std::string directory = path;
    if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        directory = nearestExistingDirectory(path);
        if (stat(directory.c_str(), &info) != 0) return;
    }
    directories_.emplace(info.st_dev, directory);
}

bool SyncSet::sync(const char* context) const {
    if (!durable) return true;
    for (const auto& [device, directory] : directories_) {
        const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // One call per file system writes every file and name staged there: far cheaper than
        // syncing hundreds of files one by one, and it leaves other file systems alone.
        const bool synced = fd >= 0 && syncfs(fd) == 0;
        const int cause = errno;
        if (fd >= 0) close(fd);
        if (!synced) {
            Reporter::error(Reporter::runContext(), "%scould not sync %s: %s", context,
                            directory.c_str(), std::strerror(cause));
            return false;
        }
    }
    return true;
}

bool syncDirectory(const std::string& directory) {
    if (!durable) return true;
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    const int cause = errno;
    close(fd);
    errno = cause;
    return synced;
}

}  // namespace velmara
