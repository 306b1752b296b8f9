#include "pkgdb/database.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <sstream>
#include <unordered_set>

#include "package/input_file.h"
#include "package/package_reader.h"
#include "package/package_report.h"
#include "pkgdb/installer.h"
#include "pkgdb/schedule.h"
#include "report/reporter.h"
#include "staging/replacement.h"
#include "staging/temporaries.h"

namespace velmara {

namespace {

// The files of an entry directory.
constexpr const char* kVersionFile = "version";
constexpr const char* kDependsFile = "deps";
constexpr const char* kProvidesFile = "provides";
constexpr const char* kConflictsFile = "conflicts";
constexpr const char* kBundleFile = "bundle";
constexpr const char* kFilesFile = "files";
constexpr const char* kDisabledFile = "disabled";
constexpr const char* kEnabledFile = "enabled";
constexpr const char* kImageFile = "image";

// The first line of "disabled" when the loader or a dependency, not the user, disabled it.
constexpr const char* kAutomaticChoice = "auto";
constexpr const char* kUserChoice = "user";

bool parseUnsigned(const std::string& word, uint32_t& value) {
    if (word.empty()) return false;
    uint64_t result = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
        if (result > std::numeric_limits<uint32_t>::max()) return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

bool parseSigned(const std::string& word, int32_t& value) {
    const bool negative = !word.empty() && word[0] == '-';
    uint32_t magnitude = 0;
    if (!parseUnsigned(negative ? word.substr(1) : word, magnitude)) return false;
    const uint32_t limit = negative ? uint32_t{1} << 31 : (uint32_t{1} << 31) - 1;
    if (magnitude > limit) return false;
    value = negative ? static_cast<int32_t>(0 - static_cast<int64_t>(magnitude))
                     : static_cast<int32_t>(magnitude);
    return true;
}

// Numbers are read as whole white-space-delimited words, so "12x" is malformed, not 12.
bool readUnsigned(std::istream& in, uint32_t& value) {
    std::string word;
    return static_cast<bool>(in >> word) && parseUnsigned(word, value);
}

bool readSigned(std::istream& in, int32_t& value) {
    std::string word;
    return static_cast<bool>(in >> word) && parseSigned(word, value);
}

ReadResult unreadable(ReadFailure& failure, const std::string& path) {
    failure = ReadFailure{path, errno};
    return ReadResult::Unreadable;
}

// Whether a listed name is a directory (a dangling link is not); false when that could not be
// found out.
bool isDirectory(const std::string& directory, const dirent& entry, bool& result,
                 ReadFailure& failure) {
    result = entry.d_type == DT_DIR;
    if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return true;
    const std::string path = directory + "/" + entry.d_name;
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        result = S_ISDIR(info.st_mode);
        return true;
    }
    if (isAbsentError(errno)) return true;
    unreadable(failure, path);
    return false;
}

}  // namespace

std::string databaseDir(const PackageRecord& record) {
    return std::string(kDatabaseRoot) + record.name + "/";
}

ReadResult databaseEntryNames(const std::string& directory, std::vector<std::string>& names,
                              ReadFailure& failure) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) return isAbsentError(errno) ? ReadResult::Absent : unreadable(failure, directory);
    ReadResult result = ReadResult::Read;
    for (;;) {
        // The end of the listing and a failed read both give null; only errno tells them apart.
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) result = unreadable(failure, directory);
            break;
        }
        const std::string name = entry->d_name;
        if (!isPackageName(name)) continue;
        bool isEntry = false;
        if (!isDirectory(directory, *entry, isEntry, failure)) {
            result = ReadResult::Unreadable;
            break;
        }
        if (isEntry) names.push_back(name);
    }
    closedir(dir);
    return result;
}

namespace {

enum class ImageRead { Loaded, Unusable, Unreadable };

// Reads one kept image into `record`, appending a bundle's members to the installed set first.
// Unusable when its header cannot be read or names no usable package: the image then counts as
// missing, and the entry is loaded from its own files with the metadata-only entries.
ImageRead readImage(Installer& installer, InstalledPackage& record, std::istream& image,
                    int& error) {
    PackageReader reader(image, false);
    // Only what the database needs; other parts are passed over by seeking.
    reader.wantedTypes = {PartType::BundleHeader, PartType::Header,  PartType::Text24,
                          PartType::Note,         PartType::Depends, PartType::Provides,
                          PartType::Conflicts};
    // A failed read is not a damaged image: the package is installed all the same. A directory
    // where the image should be is no image at all.
    const auto outcome = [&](ImageRead otherwise) {
        error = reader.parts().readError();
        if (error == 0 || error == EISDIR) return otherwise;
        return ImageRead::Unreadable;
    };
    const bool bundle = reader.nextPart() == PartType::BundleHeader;
    InstalledPackage header(record.name);
    if (!readPackageHeader(header, reader) || !isPackageName(header.name))
        return outcome(ImageRead::Unusable);
    record = header;
    if (!bundle) return outcome(ImageRead::Loaded);

    const DependencyEntry bundleEntry{record.name, record.version, record.version, 0};
    for (int32_t type = reader.partType(); type != PartType::None;) {
        if (type != PartType::Header) {
            // A part left over behind a member (a trailing list) is not the next member.
            type = reader.nextPart();
            continue;
        }
        auto member = std::make_unique<InstalledPackage>();
        // A member without a readable header or a usable name would become an entry path
        // such as the database root itself; the members behind it cannot be found either.
        if (!readPackageHeader(*member, reader) || !isPackageName(member->name)) break;
        member->bundle = bundleEntry;
        installer.packages.push_back(std::move(member));
        type = reader.partType();
    }
    return outcome(ImageRead::Loaded);
}

}  // namespace

bool readImages(Installer& installer, const std::vector<std::string>& names,
                const std::string& imageDirectory, int place, ReadFailure& failure) {
    for (const std::string& name : names) {
        auto record = std::make_unique<InstalledPackage>(name);
        const std::string imagePath =
            place == 0 ? databaseDir(*record) + kImageFile : imageDirectory + name;
        InputFile image;
        if (!image.open(imagePath)) {
            // Without an image the entry is loaded from its metadata files later.
            if (isAbsentError(errno)) continue;
            unreadable(failure, imagePath);
            return false;
        }
        // A directory where an image belongs is no image (a read of it would fail): the entry is
        // loaded from its metadata files, as without one.
        if (!image.isRegularFile()) continue;
        int error = 0;
        switch (readImage(installer, *record, image.stream(), error)) {
            case ImageRead::Loaded:
                installer.packages.push_back(std::move(record));
                break;
            case ImageRead::Unusable:
                break;
            case ImageRead::Unreadable:
                failure = ReadFailure{imagePath, error};
                return false;
        }
    }
    return true;
}

bool Installer::loadDatabase(bool quietRun, const std::string& architecture) {
    quiet = quietRun;
    arch = architecture;
    fileOwners.clear();
    std::vector<std::string> names;
    ReadFailure failure;
    const ReadResult listed = databaseEntryNames(kDatabaseRoot, names, failure);
    if (listed == ReadResult::Absent) {
        Reporter::warning(*this, "could not open repo");
        return true;
    }
    // A file that could not be read says nothing about the package: loading on without it
    // would schedule a healthy package's uninstall, or install over it as if it were absent.
    bool read = listed == ReadResult::Read && readImages(*this, names, kDatabaseRoot, 0, failure) &&
                readImages(*this, names, kImageStore, 1, failure);
    for (size_t i = 0; read && i < packages.size(); ++i)
        read = readDatabaseEntry(*packages[i], failure);
    std::unordered_set<std::string> loaded;
    for (const auto& record : packages) loaded.insert(record->name);
    for (size_t i = 0; read && i < names.size(); ++i) {
        if (loaded.count(names[i]) != 0) continue;
        auto record = std::make_unique<InstalledPackage>(names[i]);
        read = readDatabaseEntry(*record, failure);
        packages.push_back(std::move(record));
    }
    if (!read) {
        Reporter::readFailed(*this, failure.path, failure.error);
        return false;
    }
    for (const auto& record : packages) listFiles(*this, *record);
    return true;
}

bool parseEntries(const std::string& text, std::vector<DependencyEntry>& out, bool withPriority) {
    std::istringstream in(text);
    while (true) {
        DependencyEntry entry;
        if (!(in >> entry.name)) return true;
        if (!readUnsigned(in, entry.minVersion) || !readUnsigned(in, entry.maxVersion))
            return false;
        if (withPriority && !readSigned(in, entry.priority)) return false;
        out.push_back(std::move(entry));
    }
}

bool readDatabaseEntry(InstalledPackage& record, ReadFailure& failure) {
    const std::string dir = databaseDir(record);
    std::string text;
    const auto read = [&](const char* file) { return readTextFile(dir + file, text, failure); };
    const bool fromMetadata = record.version == 0;
    if (fromMetadata) {
        // No image supplied the record: the metadata files are all there is. A missing or
        // malformed one makes the entry broken, to be uninstalled.
        if (read(kVersionFile) == ReadResult::Unreadable) return false;
        std::istringstream version(text);
        if (!readUnsigned(version, record.version) || !readUnsigned(version, record.buildTime))
            record.scheduledAction = ActionUninstall;
        const std::pair<const char*, std::vector<DependencyEntry>*> lists[] = {
            {kDependsFile, &record.depends},
            {kProvidesFile, &record.provides},
            {kConflictsFile, &record.conflicts}};
        for (const auto& [file, entries] : lists) {
            if (read(file) == ReadResult::Unreadable) return false;
            if (!parseEntries(text, *entries, entries == &record.provides))
                record.scheduledAction = ActionUninstall;
        }
        if (read(kBundleFile) == ReadResult::Unreadable) return false;
        std::istringstream bundle(text);
        std::string bundleName;
        if (bundle >> bundleName) {
            // A member comes back only from its bundle's image; without it, it is stale.
            record.bundle = DependencyEntry{bundleName, 0, 0, 0};
            record.scheduledAction = ActionUninstall;
        }
    }
    // Packages recorded through an image keep their file list beside it too: the image names
    // the container's entries, not where they were put, and without the list an uninstall
    // would leave the files on flash. Without an image, a missing list marks a bundle.
    const ReadResult files =
        record.isBundle && !fromMetadata ? ReadResult::Absent : read(kFilesFile);
    if (files == ReadResult::Unreadable) return false;
    if (fromMetadata) record.isBundle = files == ReadResult::Absent;
    if (!record.isBundle) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            record.files.insert(line[0] == '/' ? line : "/" + line);
        }
    }

    record.userChoice = false;
    const ReadResult disabled = read(kDisabledFile);
    if (disabled == ReadResult::Unreadable) return false;
    record.disabled = disabled == ReadResult::Read;
    if (record.disabled) {
        std::istringstream in(text);
        std::string firstLine;
        std::getline(in, firstLine);
        record.userChoice = firstLine != kAutomaticChoice;
    }
    if (!record.disabled) {
        const ReadResult enabled = read(kEnabledFile);
        if (enabled == ReadResult::Unreadable) return false;
        if (enabled == ReadResult::Read) record.userChoice = true;
    }

    return isPlaceholder(record) || readSchedule(record, failure);
}

bool writeEntries(Manifest& manifest, const std::string& path,
                  const std::vector<DependencyEntry>& entries, bool withPriority) {
    std::ofstream out;
    if (!openReplacement(out, manifest, path, kListFileHint, 0)) return false;
    for (const DependencyEntry& entry : entries) {
        out << entry.name << ' ' << entry.minVersion << ' ' << entry.maxVersion;
        if (withPriority) out << ' ' << entry.priority;
        out << '\n';
    }
    out.flush();
    if (!out.good()) return false;
    out.close();
    return !out.fail();
}

namespace {

// The installed files of a package; a bundle has none and is told apart by having no list, so a
// stale list from an earlier version is removed.
bool writeFilesList(InstalledPackage& record, Manifest& manifest, const std::string& dir) {
    if (record.isBundle) {
        scheduleRemoval(manifest, dir + kFilesFile);
        return true;
    }
    std::ofstream out;
    bool written = openReplacement(out, manifest, dir + kFilesFile, kFilesFileHint, 0);
    for (const std::string& path : record.files) {
        if (!written || path.empty()) continue;
        // Stored without the leading "/"; the loader puts it back.
        const size_t skip = path[0] == '/' ? 1 : 0;
        out.write(path.data() + skip, static_cast<std::streamsize>(path.size() - skip));
        out << '\n';
    }
    if (written) {
        out.flush();
        written = out.good();
        out.close();
        written = written && !out.fail();
    }
    if (!written) Reporter::installFailed(Installer::instance(), record, "meta/files");
    return written;
}

bool writeMetadata(InstalledPackage& record, Manifest& manifest, const std::string& dir) {
    Installer& installer = Installer::instance();
    const auto failed = [&](const char* label) {
        Reporter::installFailed(installer, record, label);
        return false;
    };

    if (!stageFile(manifest, dir + kVersionFile, kVersionFileHint,
                   std::to_string(record.version) + " " + std::to_string(record.buildTime) + "\n"))
        return failed("meta/version");
    if (!writeEntries(manifest, dir + kDependsFile, record.depends, false))
        return failed("meta/deps");
    // An older version's list must not outlive it: an absent file is the empty list.
    if (record.provides.empty()) {
        scheduleRemoval(manifest, dir + kProvidesFile);
    } else if (!writeEntries(manifest, dir + kProvidesFile, record.provides, true)) {
        return failed("meta/provides");
    }
    if (record.conflicts.empty()) {
        scheduleRemoval(manifest, dir + kConflictsFile);
    } else if (!writeEntries(manifest, dir + kConflictsFile, record.conflicts, false)) {
        return failed("meta/conflicts");
    }
    if (record.bundle.name.empty()) {
        scheduleRemoval(manifest, dir + kBundleFile);
    } else if (!stageFile(manifest, dir + kBundleFile, kBundleFileHint,
                          record.bundle.name + "\n")) {
        return failed("meta/bundle");
    }
    return writeFilesList(record, manifest, dir);
}

}  // namespace

bool writeDatabaseEntry(InstalledPackage& record, Manifest& manifest) {
    const std::string dir = databaseDir(record);
    if (!record.hasImage && (record.flags & kFlagNoMetadata) == 0) {
        if (!writeMetadata(record, manifest, dir)) return false;
    } else {
        // The image carries the metadata now; files left by an earlier metadata-only version
        // would be read as current if the image ever went missing.
        for (const char* file :
             {kVersionFile, kDependsFile, kProvidesFile, kConflictsFile, kBundleFile})
            scheduleRemoval(manifest, dir + file);
        // No image lists where its files were put, so a package recorded through one keeps its
        // list. One recorded in no way (metadata flag without an image) is not loaded again,
        // and a list of it would only make a later run delete files it never owned.
        if (record.hasImage) {
            if (!writeFilesList(record, manifest, dir)) return false;
        } else {
            scheduleRemoval(manifest, dir + kFilesFile);
        }
    }

    // State files: a lost write would turn into the wrong state, since an empty "disabled"
    // file reads as the user's choice.
    if (record.disabled) {
        const std::string word = record.userChoice ? kUserChoice : kAutomaticChoice;
        if (!stageFile(manifest, dir + kDisabledFile, kStateFileHint, word + "\n")) {
            Reporter::installFailed(Installer::instance(), record, "meta/disabled");
            return false;
        }
    } else {
        scheduleRemoval(manifest, dir + kDisabledFile);
    }
    if (!record.disabled && record.userChoice) {
        if (!stageFile(manifest, dir + kEnabledFile, kStateFileHint,
                       std::string(kUserChoice) + "\n")) {
            Reporter::installFailed(Installer::instance(), record, "meta/enabled");
            return false;
        }
    } else {
        scheduleRemoval(manifest, dir + kEnabledFile);
    }
    return true;
}

std::string installedLocation(const std::string& storedPath) {
    const std::string flash = kFlashRoot;
    std::string location;
    if (storedPath == flash || storedPath.compare(0, flash.size() + 1, flash + "/") == 0) {
        location = storedPath;
    } else {
        location = flash + (storedPath.empty() || storedPath[0] != '/' ? "/" : "") + storedPath;
    }
    // Strictly below the flash root, and no ".." that could climb out of it.
    bool hasName = false;
    size_t start = flash.size() + 1;
    while (start <= location.size()) {
        size_t end = location.find('/', start);
        if (end == std::string::npos) end = location.size();
        const std::string component = location.substr(start, end - start);
        if (component == "..") return {};
        if (!component.empty() && component != ".") hasName = true;
        start = end + 1;
    }
    return hasName ? location : std::string{};
}

namespace {

// Drops the writes staged below a directory whose removal is staged: the commit removes first
// and moves afterwards, so they would bring the directory back as a stale entry.
void dropWritesBelow(Manifest& manifest, const std::string& directory) {
    const std::string prefix = directory.back() == '/' ? directory : directory + "/";
    for (auto pending = manifest.begin(); pending != manifest.end();) {
        const bool below = pending->first.size() > prefix.size() &&
                           pending->first.compare(0, prefix.size(), prefix) == 0;
        if (!below || pending->second.kind == Remove) {
            ++pending;
            continue;
        }
        if (pending->second.kind == MoveTemporary) unlink(pending->second.source.c_str());
        pending = manifest.erase(pending);
    }
}

}  // namespace

void listFiles(Installer& installer, const InstalledPackage& record) {
    for (const std::string& stored : record.files) {
        const std::string location = installedLocation(stored);
        if (!location.empty()) installer.fileOwners.emplace(location, &record);
    }
}

namespace {

// The record stops listing the file; true when another installed package still lists it.
bool listedByAnother(Installer& installer, const InstalledPackage& record,
                     const std::string& location) {
    const auto [first, last] = installer.fileOwners.equal_range(location);
    bool another = false;
    for (auto owner = first; owner != last;) {
        if (owner->second == &record) {
            owner = installer.fileOwners.erase(owner);
        } else {
            another = true;
            ++owner;
        }
    }
    return another;
}

bool isDirectoryPath(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void removePackageFiles(InstalledPackage& record, Manifest& manifest) {
    Installer& installer = Installer::instance();
    for (const std::string& stored : record.files) {
        const std::string location = installedLocation(stored);
        if (location.empty()) continue;
        // Shared paths: a file goes only with the last package that lists it, and a directory
        // (which older versions could list) holds other packages' files, so it never goes.
        if (listedByAnother(installer, record, location) || isDirectoryPath(location)) continue;
        scheduleRemoval(manifest, location);
    }
    record.files.clear();
    const std::string dir = databaseDir(record);
    scheduleRemoval(manifest, dir);
    // A replacement claims the directory again and writes its own entry afresh.
    dropWritesBelow(manifest, dir);
    scheduleRemoval(manifest, dir + kImageFile);
    // The loader prefers a kept image there over the entry, so it goes with the entry.
    if (isPackageName(record.name)) scheduleRemoval(manifest, kImageStore + record.name);
    if (record.flags & kFlagBootImage) {
        // Only the last name of the boot image goes; another link to it keeps it in use.
        struct stat info;
        if (stat(kBootImagePath, &info) == 0 && info.st_nlink == 1)
            scheduleRemoval(manifest, kBootImagePath);
    }
    record.scheduledAction = ActionNone;
}

}  // namespace velmara
