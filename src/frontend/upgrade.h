// The default run mode's work: install the package files left in the download directories.
#pragma once

#include <cstddef>
#include <vector>

#include "frontend/command_line.h"
#include "pkgdb/installer.h"
#include "staging/manifest.h"

namespace velmara {

constexpr const char* kDowngradeMarker = "/ram/DOWNGRADE";
// A marker is read this far: its first number is all that counts.
constexpr size_t kMarkerReadLimit = 4096;
constexpr const char* kIgnoreDownloadsMarker = "/rw/pckg/.download/IGNORE";
// Searched in this order; only the first that holds acceptable package files is used.
constexpr const char* kDownloadDirectories[] = {"/rw/pckg/.download/", "/flash/rw/pckg/",
                                                "/flash/var/pckg/"};

// Installs the chosen package files, all or nothing. Returns copies of the installed records in
// installation order; empty when nothing was installed or the upgrade failed (everything
// staged in the run is then dropped).
std::vector<PackageRecord> runUpgrade(Installer& installer, Manifest& manifest,
                                      InstallFlags flags);

// The status of an upgrade run that failed to read or write a file: kNoSpaceStatus when it
// was for lack of room, else kIoFailureStatus.
[[nodiscard]] int failureStatus(const Installer& installer);

// The upgrade mode after the scheduled actions were staged: installs, checks flash space,
// reports, then commits or (without `commitNow`) saves the operations for a later "--commit".
// Returns the exit status: 0; kNoSpaceStatus when the changes do not fit on flash, or a file
// could not be staged for lack of room; kIoFailureStatus when a file could not be read or
// written. Nothing is committed or saved after such a failure.
int runUpgradeMode(Installer& installer, Manifest& manifest, InstallFlags flags, bool commitNow);

}  // namespace velmara
