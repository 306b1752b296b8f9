// Enable, disable and uninstall requests that other programs of the router leave in RAM, and
// the summary of what pending actions leave of a dependency's providers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pkgdb/text_file.h"
#include "record/package_record.h"

namespace velmara {

// Values of InstalledPackage::scheduledAction.
enum ScheduledAction : int32_t {
    ActionNone = 0,
    ActionUninstall = 1,
    ActionEnable = 2,
    ActionDisable = 3,
};

constexpr const char* kScheduleRoot = "/ram/pdb/";
constexpr const char* kScheduleFileName = "/schedule";
// A schedule file is read this far; its first word is all that counts.
constexpr size_t kScheduleReadLimit = 4096;

// "/ram/pdb/" + the name reduced to its letters, digits and "-" + "/schedule". Names that
// reduce alike share one file.
std::string schedulePath(const std::string& packageName);

// Applies the package's schedule file, if any, to its pending action. Called after the state
// files were read, since an enable or disable request counts as the user's choice. False when
// the file exists but could not be read: the request is then unknown.
[[nodiscard]] bool readSchedule(InstalledPackage& record, ReadFailure& failure);

// Whether the package is enabled once its pending action is carried out: enabled with nothing
// or "enable" pending (a redundant request changes nothing), or disabled with "enable" pending.
[[nodiscard]] bool staysActive(const InstalledPackage& package);

// What the pending actions leave of one dependency's providers: ActionNone when at least one
// stays active, ActionDisable when none will but some stay installed disabled, ActionUninstall
// when all go (or there are none).
[[nodiscard]] int32_t providerState(const std::vector<InstalledPackage*>& providers);

}  // namespace velmara
