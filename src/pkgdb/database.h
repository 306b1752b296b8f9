// The installed-package database on flash, and the staged writes through which every file of
// the installed tree and of the database is replaced or removed only when the run commits.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "frontend/manifest.h"
#include "pkgdb/names.h"
#include "pkgdb/package_record.h"

class Installer;

constexpr const char* kDatabaseRoot = "/flash/var/pdb/";
constexpr const char* kImageStore = "/rw/pckg/.images/";
constexpr const char* kBootImagePath = "/flash/bootimage";
constexpr const char* kFlashRoot = "/flash";

// Staged files go to RAM unless the target's filesystem keeps this much room beside them.
constexpr uint64_t kReplacementMargin = 65536;
constexpr const char* kRamDirectory = "/ram";
constexpr const char* kFallbackTemporaryDirectory = "/tmp";

// Size hints for the database files; they only choose where the temporary file is made.
constexpr uint64_t kVersionFileHint = 32;
constexpr uint64_t kListFileHint = 1024;
constexpr uint64_t kBundleFileHint = 16;
constexpr uint64_t kFilesFileHint = 4096;
constexpr uint64_t kStateFileHint = 8;

// "/flash/var/pdb/" + name + "/".
std::string databaseDir(const PackageRecord& record);

// The directory in which a replacement for `target` is staged: the target's own filesystem
// (its nearest existing ancestor directory) when it has room for the hint plus the margin, else
// RAM. A hint of 0 means the size is unknown: RAM, or "/tmp" on a system without "/ram".
std::string replacementDirectory(const std::string& target, uint64_t sizeHint);

// Opens `out` on a new temporary file that replaces `target` when the manifest is committed
// (a pending operation on the target is replaced, and its temporary file deleted). `mode` 0
// leaves the temporary file's permissions as created. False when no temporary file could be
// made: the stream is then left failed and nothing is staged, so writes to it show the failure.
[[nodiscard]] bool openReplacement(std::ofstream& out, Manifest& manifest,
                                   const std::string& target, uint64_t sizeHint, unsigned mode);

// Stages the removal of an existing path. For a path that does not exist, a pending operation
// on it is dropped (with its temporary file), since there is then nothing to replace.
void scheduleRemoval(Manifest& manifest, const std::string& path);

// True when the path may be used as a directory after the commit: a pending removal of it is
// cancelled; any other pending operation on it, or an existing non-directory, refuses it.
[[nodiscard]] bool claimDirectory(Manifest& manifest, const std::string& path);

// The database entries to load, in directory order: the names that may be package names
// (not hidden, no white space) of directories below `directory`. A stray file, such as a
// temporary file left by an interrupted commit, is no package. False when the directory cannot
// be read.
[[nodiscard]] bool databaseEntryNames(const std::string& directory,
                                      std::vector<std::string>& names);

// Appends the records whose images lie in the entry directories (place 0: "<entry>/image") or
// in `imageDirectory` under the entry's name (place 1). Bundle members precede their bundle.
// False only when the database root cannot be opened.
[[nodiscard]] bool readImages(Installer& installer, const std::string& imageDirectory, int place);

// Completes a record from its entry directory: the metadata when no image supplied a version,
// then the state files and the package's schedule. A broken or stale entry is marked for
// uninstall rather than reported.
void readDatabaseEntry(InstalledPackage& record);

// Appends the entries of a list file ("name min max" lines, with a signed priority after them
// when `withPriority`). A missing file is an empty list; false when the file is malformed.
[[nodiscard]] bool readEntries(const std::string& path, std::vector<DependencyEntry>& out,
                               bool withPriority);

// Stages one list file; false when it could not be written.
[[nodiscard]] bool writeEntries(Manifest& manifest, const std::string& path,
                                const std::vector<DependencyEntry>& entries, bool withPriority);

// Stages the package's metadata (unless its image carries it) and its state files. A metadata
// write failure is reported as a failed installation of the record and gives false; what was
// staged before it stays staged for the caller to discard.
[[nodiscard]] bool writeDatabaseEntry(InstalledPackage& record, Manifest& manifest);

// Where an installed file recorded as `storedPath` lies: stored paths are full paths below
// "/flash", or (from older databases) relative to it. Empty for a path that does not name a
// file strictly below "/flash" without "..".
std::string installedLocation(const std::string& storedPath);

// Stages the removal of the package's installed files, its entry directory (dropping the writes
// staged into it), its images in the entry and in the image store (and of the boot image it
// alone holds), and clears its file list and pending action.
void removePackageFiles(InstalledPackage& record, Manifest& manifest);
