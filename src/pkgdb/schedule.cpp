#include "pkgdb/schedule.h"

#include <cctype>
#include <sstream>

namespace velmara {

std::string schedulePath(const std::string& packageName) {
    std::string reduced;
    for (const char c : packageName) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') reduced += c;
    }
    return kScheduleRoot + reduced + kScheduleFileName;
}

bool readSchedule(InstalledPackage& record, ReadFailure& failure) {
    std::string text;
    // Only the first word counts: a request is a few bytes, whatever else the file holds.
    if (readTextFile(schedulePath(record.name), text, failure, kScheduleReadLimit) ==
        ReadResult::Unreadable)
        return false;
    std::istringstream in(text);
    std::string word;
    // A missing, empty or unrecognised request is no error; the rest of the file is ignored.
    if (!(in >> word)) return true;
    if (word == "uninstall") {
        record.scheduledAction = ActionUninstall;
    } else if (word == "enable") {
        record.scheduledAction = ActionEnable;
        record.userChoice = true;
    } else if (word == "disable") {
        record.scheduledAction = ActionDisable;
        record.userChoice = true;
    }
    return true;
}

bool staysActive(const InstalledPackage& package) {
    return package.scheduledAction == ActionEnable ||
           (!package.disabled && package.scheduledAction == ActionNone);
}

int32_t providerState(const std::vector<InstalledPackage*>& providers) {
    bool someDisabled = false;
    for (const InstalledPackage* provider : providers) {
        if (staysActive(*provider)) return ActionNone;
        // Disabled, or being disabled, it stays installed; being uninstalled, it does not,
        // whether it is enabled or disabled now.
        if (provider->scheduledAction != ActionUninstall) someDisabled = true;
    }
    return someDisabled ? ActionDisable : ActionUninstall;
}

}  // namespace velmara
