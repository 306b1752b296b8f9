// The installed-package database on flash, and the staged writes through which every file of
// the installed tree and of the database is replaced or removed only when the run commits.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "pkgdb/text_file.h"
#include "record/names.h"
#include "record/package_record.h"
#include "staging/installer_paths.h"
#include "staging/manifest.h"
#include "staging/replacement.h"

namespace velmara {

class Installer;

constexpr const char* kImageStore = "/rw/pckg/.images/";

// Size hints for the database files; they only choose where the temporary file is made.
constexpr uint64_t kVersionFileHint = 32;
constexpr uint64_t kListFileHint = 1024;
constexpr uint64_t kBundleFileHint = 16;
constexpr uint64_t kFilesFileHint = 4096;
constexpr uint64_t kStateFileHint = 8;

// "/flash/var/pdb/" + name + "/".
std::string databaseDir(const PackageRecord& record);

// The database entries to load, in directory order: the names that may be package names
// (not hidden, no white space) of directories below `directory`. A stray file, such as a
// temporary file left by an interrupted commit, is no package. Absent when the directory does
// not exist; Unreadable when it, or what a listed name is, could not be read.
[[nodiscard]] ReadResult databaseEntryNames(const std::string& directory,
                                            std::vector<std::string>& names, ReadFailure& failure);

// Appends the records whose images lie in the entry directories `names` (place 0:
// "<entry>/image") or in `imageDirectory` under the entry's name (place 1). Bundle members
// precede their bundle. A missing or damaged image is passed over (the entry is loaded from its
// metadata); false when an image could not be read.
[[nodiscard]] bool readImages(Installer& installer, const std::vector<std::string>& names,
                              const std::string& imageDirectory, int place, ReadFailure& failure);

// Completes a record from its entry directory: the metadata when no image supplied a version,
// then the state files and the package's schedule. A missing, malformed or stale entry is
// marked for uninstall rather than reported; false when one of its files could not be read.
[[nodiscard]] bool readDatabaseEntry(InstalledPackage& record, ReadFailure& failure);

// Appends the entries of a list file's text ("name min max" lines, with a signed priority after
// them when `withPriority`); false when the text is malformed. Entries read before that stay.
[[nodiscard]] bool parseEntries(const std::string& text, std::vector<DependencyEntry>& out,
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

// Counts the record's files as listed by an installed package (Installer::fileOwners): done for
// every record that enters the installed set with files.
void listFiles(Installer& installer, const InstalledPackage& record);

// Stages the removal of the package's installed files, its entry directory (dropping the writes
// staged into it), its images in the entry and in the image store (and of the boot image it
// alone holds), and clears its file list and pending action. A file that another installed
// package still lists stays, and so does a directory listed as a file.
void removePackageFiles(InstalledPackage& record, Manifest& manifest);

}  // namespace velmara
