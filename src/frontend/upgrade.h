// The default run mode's work: install the package files left in the download directories.
#pragma once

#include <vector>

#include "frontend/command_line.h"
#include "frontend/manifest.h"
#include "report/installer.h"

constexpr const char* kDowngradeMarker = "/ram/DOWNGRADE";
constexpr const char* kIgnoreDownloadsMarker = "/rw/pckg/.download/IGNORE";
// Searched in this order; only the first that holds acceptable package files is used.
constexpr const char* kDownloadDirectories[] = {"/rw/pckg/.download/", "/flash/rw/pckg/",
                                                "/flash/var/pckg/"};

// Installs the chosen package files, all or nothing. Returns copies of the installed records in
// installation order; empty when nothing was installed or the upgrade failed (everything
// staged in the run is then dropped).
std::vector<PackageRecord> runUpgrade(Installer& installer, Manifest& manifest,
                                      InstallFlags flags);

// The upgrade mode after the scheduled actions were staged: installs, checks flash space,
// reports, then commits or (without `commitNow`) saves the operations for a later "--commit".
// Returns the exit status: 28 when the changes do not fit on flash, else 0.
int runUpgradeMode(Installer& installer, Manifest& manifest, InstallFlags flags, bool commitNow);
