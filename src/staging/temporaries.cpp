#include "staging/temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "report/reporter.h"
#include "staging/manifest.h"

namespace velmara {

namespace {

// The unique part of a temporary name: this many letters and digits.
constexpr size_t kUniqueLength = 6;
constexpr char kUniqueCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// Names tried before giving up: each clash is with a leftover or a name just taken.
constexpr int kNameAttempts = 100;
constexpr mode_t kModeBits = 07777;
constexpr mode_t kPermissionBits = 0777;
// Where temporary files are made outside flash: only the directories themselves, never below.
constexpr const char* kRamDirectories[] = {"/ram", "/tmp"};
constexpr const char* kFlashDirectory = "/flash";

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

// The next unique part of a temporary name. The sequence starts at an unpredictable point, so
// that another process cannot take the names ahead; a clash only costs another attempt.
std::string uniqueName() {
    static uint64_t state = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
            struct timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            seed = uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 32) ^ uint64_t(getpid());
        }
        return seed;
    }();
    // splitmix64: every step gives well-mixed bits from a plain counter.
    state += 0x9E3779B97F4A7C15u;
    uint64_t bits = state;
    bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9u;
    bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBu;
    bits ^= bits >> 31;
    std::string unique(kUniqueLength, '\0');
    for (char& c : unique) {
        c = kUniqueCharacters[bits % (sizeof kUniqueCharacters - 1)];
        bits /= sizeof kUniqueCharacters - 1;
    }
    return unique;
}

// The process's umask, read once: a new file gets its mode from open() alone when the umask
// takes nothing from it.
mode_t processUmask() {
    static const mode_t mask = [] {
        const mode_t current = umask(0);
        umask(current);
        return current;
    }();
    return mask;
}

}  // namespace

std::string nearestExistingDirectory(const std::string& path) {
    std::string directory = parentDirectory(path);
    struct stat info;
    while (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (directory == "/" || directory == ".") break;
        directory = parentDirectory(directory);
    }
    return directory;
}

bool writeFully(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}

BlockWriter::BlockWriter(int fd) : fd_(fd) { pending_.reserve(kBlock); }

void BlockWriter::write(std::string_view text) {
    if (error_ == 0 && !writeFully(fd_, text.data(), text.size())) error_ = errno;
}

// The block never grows past its first size: what would overfill it sends it first.
BlockWriter& BlockWriter::operator<<(std::string_view text) {
    if (pending_.size() + text.size() > kBlock) {
        write(pending_);
        pending_.clear();
    }
    if (text.size() > kBlock)
        write(text);
    else
        pending_ += text;
    return *this;
}

bool BlockWriter::finish() {
    write(pending_);
    pending_.clear();
    errno = error_;
    return error_ == 0;
}

StagingFiles& stagingFiles() {
    static StagingFiles files;
    return files;
}

bool isTemporaryName(const std::string& path) {
    return baseName(path).compare(0, std::strlen(kTemporaryPrefix), kTemporaryPrefix) == 0;
}

int makeTemporary(const std::string& directory, std::string& path, unsigned mode) {
    if (!markStaging()) return -1;
    const std::string stem = (directory == "/" ? "" : directory) + "/" + kTemporaryPrefix;
    const mode_t wanted = mode_t(mode) & kModeBits;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        path = stem + uniqueName();
        // Created with its mode, so that no second call is needed unless the umask or the
        // special bits (which open() may drop) stand in the way.
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                            wanted & kPermissionBits);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if ((wanted & ~kPermissionBits) == 0 && (wanted & processUmask()) == 0) return fd;
        if (fchmod(fd, wanted) == 0) return fd;
        const int cause = errno;
        close(fd);
        unlink(path.c_str());
        errno = cause;
        return -1;
    }
    errno = EEXIST;
    return -1;
}

bool makeTemporaryLink(const std::string& directory, const std::string& contents,
                       std::string& path) {
    if (!markStaging()) return false;
    const std::string stem = (directory == "/" ? "" : directory) + "/" + kTemporaryPrefix;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        path = stem + uniqueName();
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
    // The name lives in the directory that holds it: hundreds of files staged in one directory
    // cost one look at it.
    if (!seen_.insert(parentDirectory(path)).second) return;
    const std::string directory = nearestExistingDirectory(path);
    struct stat info;
    if (stat(directory.c_str(), &info) != 0) return;
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
