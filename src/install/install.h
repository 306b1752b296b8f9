// Installing packages from a stream: one package, or a bundle of member packages, checked
// against the installed set, unpacked, verified and entered into the database. Every change on
// flash is staged in the run's Manifest; `Installer::packages` changes in memory at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "package/package_reader.h"
#include "pkgdb/installer.h"
#include "record/package_record.h"
#include "resolve/resolution.h"
#include "staging/manifest.h"

namespace velmara {

// Package names whose enabled state the user chose: true installs the package disabled.
using ChoiceMap = std::map<std::string, bool>;

// Results of installFromStream.
constexpr int kInstallDone = 0;        // installed, or already installed
constexpr int kInstallUnreadable = 1;  // cannot be read or stored
constexpr int kInstallRefused = 2;     // refused, or one of a bundle's members failed
constexpr int kInstallNoMembers = 3;   // a bundle that carries no member package

// Exit statuses besides those of an installation from standard input (0 to 3, and -1).
// The changes do not fit on flash, or a file could not be staged for lack of room.
constexpr int kNoSpaceStatus = 28;
// A file could not be read or written (the installed set among them): nothing was committed.
constexpr int kIoFailureStatus = 5;
// Something unforeseen stopped the run (it is reported); nothing was committed.
constexpr int kAbandonedStatus = 70;
// The run's commit was refused or not finished, or an interrupted one could not be finished.
constexpr int kCommitFailedStatus = 1;

// Left at once (not staged) when an old system passed its checks and its signature: the system
// converts its data at boot.
constexpr const char* kConvertMarker = "/rw/CONVERT";
// When set, a package carrying the boot image is kept whole instead of being unpacked.
constexpr const char* kBootImageVariable = "bootimage";
constexpr const char* kSystemPackage = "system";
// A "system" package of this major version or older makes the system convert its data.
constexpr uint32_t kLastConvertingMajor = 6;
constexpr unsigned kMajorVersionShift = 24;
// An image part is passed over in steps of this size so the progress bar moves meanwhile.
constexpr uint32_t kImageSkipStep = 4096;
// Width of the status line wiped before "installed ..." is reported for a reinstall.
constexpr size_t kReinstallWipeWidth = 78;
// Every condition: bundle members are checked silently and decided here.
constexpr InstallFlags kAcceptEverything = 0xFFFFFFFFu;

// Installs the package or bundle on `stream`; results above. With `teeSink` the bytes read are
// also written to it: a sink that fails fails the installation without a message (the caller
// that gave the sink reports its failure). The copy is whole when the installation succeeds and
// sets `imageDir` or `bootFlag`, the only cases in which a caller keeps it; for a single package
// that can be neither, copying stops after its header. `imageDir` receives the database
// directory of a package or bundle with an image part, `bootFlag` whether the installed package
// is to become the boot image; either may be null. A package that was already installed sets
// neither when copied: it was not read to its end, nor verified. A failed read of the stream
// fails the installation and is reported here, once.
[[nodiscard]] int installFromStream(Installer& installer, Manifest& manifest, std::istream& stream,
                                    InstallFlags flags, const ChoiceMap& choiceMap,
                                    std::streambuf* teeSink, std::string* imageDir, bool* bootFlag);

// Installs the package whose header part is the reader's current part; `bundleEntry` is given
// for a bundle's member. Returns the record that now stands for the package in `packages` (the
// new one, or the one already installed), or null when it was refused, broken or could not be
// staged; the installed version it would have replaced is then back in its place.
[[nodiscard]] InstalledPackage* installPackage(Installer& installer, Manifest& manifest,
                                               PackageReader& reader, InstallFlags flags,
                                               const ChoiceMap& choiceMap,
                                               const DependencyEntry* bundleEntry,
                                               std::string* imageDir, bool* bootFlag);

// Appends one record per acceptable ".vlp" or ".wsp" file of `directory` (a path ending in
// "/"), reading headers only. Incomplete or damaged files are reported as broken; a failure to
// read the directory or a file is reported as such, and marks the run failed.
void scanPackageDir(const std::string& directory,
                    std::vector<std::unique_ptr<PackageFileRecord>>& list);

// Commits a run's operations; when the commit is refused, its staged files are discarded.
Manifest::Result commitRun(Manifest& manifest);

}  // namespace velmara
