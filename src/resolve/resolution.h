// The decision rules: whether a candidate may be installed beside the installed set, which
// candidates remain and in what order, and which providers stay active.
#pragma once

#include <cstdint>
#include <vector>

#include "pkgdb/installer.h"

namespace velmara {

// Permission bits handed to installation; the same word holds the conditions a candidate check
// finds, and any found condition outside the accepted set refuses the candidate.
using InstallFlags = uint32_t;
using CandidateConditions = uint32_t;
constexpr InstallFlags allowDowngrade = 0x02;
constexpr InstallFlags allowReinstall = 0x20;
constexpr CandidateConditions Downgrade = 0x02;
constexpr CandidateConditions Uninstallable = 0x08;
constexpr CandidateConditions Conflict = 0x10;
constexpr CandidateConditions Reinstall = 0x20;

// No downgrade floor: the selection is an ordinary upgrade.
constexpr PackageVersion kNoFloor = 0xFFFFFFFFu;

// Where the board's minimum version comes from; tests replace it.
using BoardMinimumSource = uint32_t (*)();
extern BoardMinimumSource boardMinimumSource;

// Appends, in installed order, the installed records that meet the entry by name or provides.
void collectProviders(Installer& installer, const DependencyEntry& entry,
                      std::vector<InstalledPackage*>& providers, bool includeDisabled);

// The conditions found for the candidate; at most one message, none for accepted conditions.
[[nodiscard]] CandidateConditions checkCandidate(Installer& installer,
                                                 const PackageRecord& candidate,
                                                 InstallFlags acceptMask);

// Drops candidates that another related candidate beats and orders the rest for installation.
void selectCandidates(Installer& installer, std::vector<PackageRecord*>& candidates,
                      PackageVersion floor, bool report);

void activateDependencies(Installer& installer, InstalledPackage& record, bool report);
void keepActive(Installer& installer, InstalledPackage& provider, const PackageRecord& dependent,
                bool report);

}  // namespace velmara
