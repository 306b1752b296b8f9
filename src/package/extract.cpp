#include "package/extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <istream>
#include <limits>
#include <unordered_map>
#include <vector>

#include "package/inflate_stream_buf.h"
#include "package/little_endian.h"
#include "package/package_report.h"
#include "report/reporter.h"
#include "staging/installer_paths.h"
#include "staging/replacement.h"
#include "staging/temporaries.h"

namespace velmara {

namespace {

const ReservedPath kReservedPaths[] = {
    {kDatabaseRoot, true},  // the database: entries, images, the standard-input copy
    {kBootImagePath, false}, {kPackagesChangedFlag, false},
    {kUpgradedFlag, false},  {kPostlogPath, false},
};

// The mode bits a staged file keeps: permissions, set-ID and sticky; the type bits are the
// entry's kind, not the file's mode.
constexpr unsigned kModeBits = 07777;

bool isAbsent(int error) {
    return error == ENOENT || error == ENOTDIR;
}

bool startsWithDirectory(std::string_view path, std::string_view directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

// Bytes that deleting or replacing the file gives back: only the last name of a regular file
// takes its data with it.
uint64_t reclaimable(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1 ? uint64_t(info.st_size) : 0;
}

// Decides, target by target, what one package's extraction may stage, and where: each directory
// and each file system is examined once for the whole package.
class StagingRules {
  public:
    enum Verdict { Accepted, Refused, NoRoom, Failed };

    explicit StagingRules(const Manifest& manifest) : manifest_(manifest) {}

    // On acceptance, `directory` is where the target's temporary file is made.
    Verdict check(const std::string& target, uint32_t size, std::string& directory) {
        if (isReservedPath(target)) return refuse(target + " is reserved for the installer");
        const std::string parent = parentDirectory(target);
        // Nothing lies in a directory that does not exist: once it was found missing, its other
        // files need no look of their own.
        const auto known = fitDirectories_.find(parent);
        const bool parentMissing = known != fitDirectories_.end() && known->second.nearest != parent;
        uint64_t replaced = 0;
        if (!parentMissing) {
            struct stat info;
            if (lstat(target.c_str(), &info) == 0) {
                if (S_ISDIR(info.st_mode)) return refuse(target + " is a directory");
                replaced = reclaimable(info);
            } else if (!isAbsent(errno)) {
                return fail(errno);
            }
        }
        // What the run staged below the target makes it a directory at the commit. Removals
        // are of existing paths, and nothing exists below a file.
        const std::string below = target + "/";
        for (auto e = manifest_.lowerBound(below);
             e != manifest_.end() && e->first.compare(0, below.size(), below) == 0; ++e) {
            if (e->second.kind != Remove) return refuse(target + " is a directory");
        }
        const Fit* fit = nullptr;
        const Verdict parents = checkParents(parent, fit);
        if (parents != Accepted) return parents;
        Room& room = rooms_[fit->room];
        const Verdict charged = charge(room, target, size, replaced);
        if (charged == Accepted) directory = stagingDirectory(fit->nearest, room.space, size);
        return charged;
    }

    const std::string& problem() const { return problem_; }
    int error() const { return error_; }

  private:
    // The free bytes of one file system and what this package staged for it.
    struct Room {
        dev_t device = 0;
        StagingRoom space;            // its free bytes, and what was staged there
        uint64_t credit = 0;          // replaced files, and removals once counted
        uint64_t deferredCredit = 0;  // replaced files that the run already removes
        uint64_t staged = 0;  // on flash or in RAM
        bool removalsCounted = false;
    };
    // A directory found fit to hold files: the file system it is on, and its nearest existing
    // ancestor (itself when it exists), where files for it are staged.
    struct Fit {
        size_t room;
        std::string nearest;
    };

    Verdict refuse(std::string why) {
        problem_ = std::move(why);
        return Refused;
    }

    Verdict fail(int error) {
        error_ = error;
        return Failed;
    }

    // Every directory above the target must be one at the commit: an existing directory, a
    // missing one (the commit makes it), or a file the run removes first; never a file that
    // stays or that the run stages. Directories found fit are remembered with their file
    // system, so each is examined once per package.
    Verdict checkParents(const std::string& parent, const Fit*& fit) {
        std::vector<std::string> walked;
        std::string directory = parent;
        Fit found{0, ""};
        for (;;) {
            const auto known = fitDirectories_.find(directory);
            if (known != fitDirectories_.end()) {
                found = known->second;
                break;
            }
            const auto pending = manifest_.find(directory);
            const bool removed = pending != manifest_.end() && pending->second.kind == Remove;
            if (pending != manifest_.end() && !removed)
                return refuse(directory + " is not a directory");
            struct stat info;
            if (stat(directory.c_str(), &info) == 0) {
                if (S_ISDIR(info.st_mode)) {
                    const Verdict examined = roomOf(directory, info.st_dev, found.room);
                    if (examined != Accepted) return examined;
                    found.nearest = directory;
                    walked.push_back(directory);
                    break;
                }
                if (!removed) return refuse(directory + " is not a directory");
            } else if (!isAbsent(errno)) {
                return fail(errno);
            }
            walked.push_back(directory);
            if (directory == "/" || directory == ".") return fail(ENOENT);
            directory = parentDirectory(directory);
        }
        for (const std::string& each : walked) fitDirectories_.emplace(each, found);
        fit = &fitDirectories_.find(parent)->second;
        return Accepted;
    }

    Verdict roomOf(const std::string& directory, dev_t device, size_t& index) {
        for (index = 0; index < rooms_.size(); ++index) {
            if (rooms_[index].device == device) return Accepted;
        }
        Room room;
        room.device = device;
        if (!examineRoom(directory, room.space)) return fail(errno);
        rooms_.push_back(room);
        index = rooms_.size() - 1;
        return Accepted;
    }

    Verdict charge(Room& room, const std::string& target, uint32_t size, uint64_t replaced) {
        const auto pending = manifest_.find(target);
        if (pending == manifest_.end()) {
            room.credit = saturatingAdd(room.credit, replaced);
        } else if (pending->second.kind == Remove && !room.removalsCounted) {
            // Counted with the run's removals, if it comes to that; staging it replaces the
            // removal, which the count would then no longer see.
            room.deferredCredit = saturatingAdd(room.deferredCredit, replaced);
        }
        const uint64_t wanted = saturatingAdd(room.staged, size);
        if (wanted > saturatingAdd(room.space.free, room.credit) && !room.removalsCounted) {
            // Only a package that does not fit in the free room pays for this walk.
            room.credit = saturatingAdd(room.credit, room.deferredCredit);
            for (const auto& [path, entry] : manifest_) {
                struct stat info;
                if (entry.kind == Remove && lstat(path.c_str(), &info) == 0 &&
                    info.st_dev == room.device)
                    room.credit = saturatingAdd(room.credit, reclaimable(info));
            }
            room.removalsCounted = true;
        }
        if (wanted > saturatingAdd(room.space.free, room.credit)) return NoRoom;
        room.staged = wanted;
        return Accepted;
    }

    const Manifest& manifest_;
    std::vector<Room> rooms_;
    std::unordered_map<std::string, Fit> fitDirectories_;
    std::string problem_;
    int error_ = 0;
};

// The package name becomes a directory below "/flash/x/" for a disabled package.
bool isSafePackageDirectory(std::string_view name) {
    return name.find('/') == std::string_view::npos && isSafeEntryName(name);
}

struct EntryHeader {
    uint16_t mode;
    uint8_t variant;
    uint32_t size;
    uint16_t nameLength;
};

EntryHeader decodeEntryHeader(const char* bytes) {
    EntryHeader header;
    header.mode = loadLittle16(bytes + kFileEntryModeOffset);
    header.variant = static_cast<uint8_t>(bytes[kFileEntryVariantOffset]);
    header.size = loadLittle32(bytes + kFileEntrySizeOffset);
    header.nameLength = loadLittle16(bytes + kFileEntryNameLengthOffset);
    return header;
}

// Reports a failed write with errno as it was when the write failed.
bool writeFailed(InstalledPackage& record, const std::string& name, int cause) {
    errno = cause;
    Reporter::installFailed(Reporter::runContext(), record, name);
    return false;
}

// Data that ends early is a broken package, unless the reader stopped at a failed read or a
// failed copy of the package, which the installation reports as such.
bool broken(InstalledPackage& record, const PackageReader& reader) {
    if (!reader.parts().stopped()) Reporter::brokenPackage(Reporter::runContext(), record);
    return false;
}

// Writes `size` bytes of one entry to its staged file straight from the inflated blocks, and
// closes it.
bool copyEntry(InstalledPackage& record, const std::string& name, InflateStreamBuf& in, int fd,
               uint32_t size, const PackageReader& reader) {
    uint32_t left = size;
    while (left > 0) {
        const std::string_view block = in.take(left);
        if (block.empty()) {
            close(fd);
            return broken(record, reader);
        }
        if (!writeFully(fd, block.data(), block.size())) {
            const int cause = errno;
            close(fd);
            return writeFailed(record, name, cause);
        }
        left -= uint32_t(block.size());
    }
    if (close(fd) != 0) return writeFailed(record, name, errno);
    return true;
}

}  // namespace

bool isReservedPath(std::string_view target) {
    for (const ReservedPath& reserved : kReservedPaths) {
        std::string_view path = reserved.path;
        while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
        // A file where a directory leading to the installer's files must be blocks them too.
        if (target == path || startsWithDirectory(path, target)) return true;
        if (reserved.tree && startsWithDirectory(target, path)) return true;
    }
    return false;
}

std::string extractTarget(const InstalledPackage& record, std::string_view name) {
    std::string target = kFlashRoot;
    if (record.disabled) {
        target += kDisabledFilesPrefix;
        target += record.name;
    }
    if (name.empty() || name.front() != '/') target += '/';
    target += name;
    return target;
}

bool extractFiles(InstalledPackage& record, Manifest& manifest, PackageReader& reader) {
    return extractFiles(record, manifest, reader, boardVariant());
}

bool extractFiles(InstalledPackage& record, Manifest& manifest, PackageReader& reader,
                  BoardVariant variant) {
    ReportContext& installer = Reporter::runContext();
    // The signature that covers the compressed bytes is checked before anything is committed,
    // and without it nothing is: zlib's own checksum would only repeat that check.
    InflateStreamBuf inflater(&reader.parts(), reader.parts().hashing()
                                                   ? InflateStreamBuf::Checksum::Skip
                                                   : InflateStreamBuf::Checksum::Check);
    std::istream in(&inflater);
    StagingRules rules(manifest);

    while (in.good()) {
        char headerBytes[kFileEntryHeaderSize];
        // The container has no count: it ends where a whole entry header no longer follows.
        if (!in.read(headerBytes, kFileEntryHeaderSize)) break;
        const EntryHeader header = decodeEntryHeader(headerBytes);

        std::string name(header.nameLength, '\0');
        if (!in.read(name.data(), header.nameLength)) return broken(record, reader);

        // Directories, links and the like are made by the commit as files need them.
        const bool regular = (header.mode & kFileTypeMask) == kFileTypeRegular;
        const bool forThisBoard = header.variant == kEveryBoard || variant == header.variant;
        if (!regular || !forThisBoard) {
            in.seekg(std::streamoff(header.size), std::ios_base::cur);
            continue;
        }

        // Refused before anything is staged for the entry.
        if (!isSafeEntryName(name)) return broken(record, reader);
        if (record.disabled && !isSafePackageDirectory(record.name)) return broken(record, reader);

        const std::string target = extractTarget(record, name);
        std::string directory;
        switch (rules.check(target, header.size, directory)) {
            case StagingRules::Accepted:
                break;
            case StagingRules::Refused:
                Reporter::brokenPackage(installer, record, rules.problem());
                return false;
            case StagingRules::NoRoom:
                return writeFailed(record, name, ENOSPC);
            case StagingRules::Failed:
                return writeFailed(record, name, rules.error());
        }
        const int fd = createReplacement(manifest, target, directory, header.mode & kModeBits);
        if (fd < 0) return writeFailed(record, name, errno);
        record.files.insert(target);
        if (!copyEntry(record, name, inflater, fd, header.size, reader)) return false;
        Reporter::progress(installer, record, reader);
    }
    return true;
}

}  // namespace velmara
