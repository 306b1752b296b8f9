// The installer's own files on flash, which every layer that writes there must know.
#pragma once

namespace velmara {

constexpr const char* kFlashRoot = "/flash";
constexpr const char* kDatabaseRoot = "/flash/var/pdb/";
constexpr const char* kBootImagePath = "/flash/bootimage";
// Replaced by an empty file whenever a run commits or saves package changes.
constexpr const char* kPackagesChangedFlag = "/flash/PCKGS_CHANGED";
// Staged with every installation; the system acts on it at the next start.
constexpr const char* kUpgradedFlag = "/flash/UPGRADED";

}  // namespace velmara
