// The installed-package database on flash, and the staged writes through which every file of
// the installed tree and of the database is replaced or removed only when the run commits.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "frontend/manifest.h"
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
