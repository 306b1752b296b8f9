#include "resolve/package_operations.h"

#include <algorithm>
#include <cerrno>

#include "pkgdb/database.h"
#include "pkgdb/schedule.h"
#include "report/reporter.h"
#include "resolve/resolution.h"

namespace velmara {

namespace {

// The oldest system a package may depend on and still survive a cleanup (3.22 final).
constexpr PackageVersion kCleanupSystemFloor = 0x031665FF;

void writeStateFile(Manifest& manifest, const InstalledPackage& package, const char* file,
                    const char* word) {
    const std::string path = databaseDir(package) + file;
    // Reported and remembered: the run that staged the change commits nothing.
    if (!stageFile(manifest, path, kStateFileHint, std::string(word) + "\n"))
        Reporter::writeFailed(Installer::instance(), path, errno);
}

void removeStateFile(Manifest& manifest, const InstalledPackage& package, const char* file) {
    scheduleRemoval(manifest, databaseDir(package) + file);
}

// Step 1: a bundle's request carries over to its members.
void bundlesToMembers(Installer& installer) {
    for (const auto& member : installer.packages) {
        if (member->bundle.name.empty()) continue;
        const InstalledPackage* bundle = findPackage(installer.packages, member->bundle.name);
        if (!bundle) continue;
        switch (bundle->scheduledAction) {
            case ActionDisable:
                if (member->scheduledAction != ActionUninstall) member->scheduledAction = ActionDisable;
                break;
            case ActionUninstall:
                member->scheduledAction = ActionUninstall;
                break;
            case ActionEnable:
                if (member->disabled) member->scheduledAction = ActionEnable;
                break;
            default:
                break;
        }
    }
}

// Step 2: what a remaining package needs stays, and disabled providers come back.
void keepNeeds(Installer& installer, bool report) {
    for (size_t i = 0; i < installer.packages.size(); ++i) {
        InstalledPackage& package = *installer.packages[i];
        if (staysActive(package)) activateDependencies(installer, package, report);
    }
}

// Step 3: an enabled or enabling package pushes out what it conflicts with; of two packages
// both being enabled, the one the other conflicts with gives way.
void settleConflicts(Installer& installer, bool report) {
    for (const auto& aOwner : installer.packages) {
        InstalledPackage& a = *aOwner;
        if (!staysActive(a)) continue;
        for (const auto& bOwner : installer.packages) {
            InstalledPackage& b = *bOwner;
            if (&a == &b || !staysActive(b)) continue;
            if (conflictsWith(a, b)) {
                if (b.scheduledAction == ActionNone) b.scheduledAction = ActionDisable;
            } else if (a.scheduledAction == ActionEnable && conflictsWith(b, a)) {
                if (b.scheduledAction == ActionNone) {
                    b.scheduledAction = ActionDisable;
                } else if (b.scheduledAction == ActionEnable) {
                    if (report) {
                        Reporter::warning(installer, "can not enable %s: %s conflicts with it",
                                          a.name.c_str(), recordName(b).c_str());
                    }
                    a.scheduledAction = ActionNone;
                    break;
                }
            }
        }
    }
}

}  // namespace

// Step 4. Repeating whole walks until one changes nothing ends where restarting at the first
// package after every change ends, without its cubic cost: a change only ever moves a package
// down the order active, disabled, uninstalled (what a provider leaves of a dependency moves
// the same way, as providerState counts a redundant "enable" as active), and each package's
// rule takes the worse of where it stands and what its dependencies leave. Such rules have one
// least common fixed point, which every order of applying them reaches.
void followLostDependencies(Installer& installer) {
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto& owner : installer.packages) {
            InstalledPackage& p = *owner;
            for (const auto& entry : p.depends) {
                std::vector<InstalledPackage*> providers;
                collectProviders(installer, entry, providers, true);
                const int32_t state = providerState(providers);
                if (state == ActionUninstall && p.scheduledAction != ActionUninstall) {
                    p.scheduledAction = ActionUninstall;
                    changed = true;
                } else if (state == ActionDisable && staysActive(p)) {
                    p.scheduledAction = ActionDisable;
                    changed = true;
                }
            }
        }
    }
}

namespace {

// Step 5: a bundle is kept only while one of its members stays active.
void membersToBundles(Installer& installer) {
    for (const auto& owner : installer.packages) {
        InstalledPackage& bundle = *owner;
        if (!bundle.isBundle || bundle.scheduledAction == ActionUninstall) continue;
        bool anyActive = false;
        bool anyDisabled = false;
        for (const auto& memberOwner : installer.packages) {
            const InstalledPackage& m = *memberOwner;
            if (isPlaceholder(m) || !sameName(m.bundle.name, bundle.name)) continue;
            anyActive = anyActive || staysActive(m);
            anyDisabled = anyDisabled ||
                          (m.disabled && (m.scheduledAction == ActionNone || m.scheduledAction == ActionDisable)) ||
                          (!m.disabled && m.scheduledAction == ActionDisable);
        }
        if (anyActive) continue;
        if (!anyDisabled) {
            bundle.scheduledAction = ActionUninstall;
        } else if (!bundle.disabled) {
            // An enabled bundle whose members are all disabled is disabled with them, not
            // uninstalled: its members come back at the next start only from its image, and
            // would all be uninstalled with it. Enabling it again brings them back.
            bundle.scheduledAction = ActionDisable;
        } else if (bundle.scheduledAction == ActionEnable) {
            bundle.scheduledAction = ActionNone;
        }
    }
}

// Step 6: a router with nothing enabled cannot come back up, so such requests are refused.
bool somethingRemains(Installer& installer, int level) {
    if (installer.packages.empty()) return true;
    for (const auto& p : installer.packages) {
        if (p->scheduledAction == ActionEnable || (!p->disabled && p->scheduledAction == ActionNone)) return true;
    }
    for (const auto& p : installer.packages) p->scheduledAction = ActionNone;
    if (level >= 1) Reporter::error(installer, "can not uninstall or disable all packages");
    return false;
}

void disablePackage(Installer& installer, Manifest& manifest, InstalledPackage& package,
                    int level) {
    const std::string name = recordName(package);
    if (level >= 1) Reporter::status(installer, "disabling " + name + "...");
    removeStateFile(manifest, package, "enabled");
    writeStateFile(manifest, package, "disabled", package.userChoice ? "user" : "auto");
    package.disabled = true;
    package.scheduledAction = ActionNone;
    if (level >= 1) Reporter::info(installer, "disabled %s", name.c_str());
}

void uninstallPackage(Installer& installer, Manifest& manifest, InstalledPackage& package,
                      int level) {
    const std::string name = recordName(package);
    if (level >= 2) Reporter::status(installer, "uninstalling " + name + "...");
    removePackageFiles(package, manifest);
    // By identity, not by name: the record itself leaves the installed set.
    auto& packages = installer.packages;
    packages.erase(std::find_if(packages.begin(), packages.end(),
                                [&](const auto& p) { return p.get() == &package; }));
    if (level >= 2) Reporter::info(installer, "uninstalled %s", name.c_str());
}

}  // namespace

void applyScheduledActions(Installer& installer, Manifest& manifest, int reportLevel) {
    const bool report = reportLevel >= 1;
    bundlesToMembers(installer);
    keepNeeds(installer, report);
    settleConflicts(installer, report);
    followLostDependencies(installer);
    membersToBundles(installer);
    if (!somethingRemains(installer, reportLevel)) return;

    // Step 7: removals run from the last package to the first; enabling follows dependencies.
    std::vector<InstalledPackage*> removals;
    std::vector<PackageRecord*> enables;
    for (const auto& p : installer.packages) {
        if (p->scheduledAction == ActionUninstall || p->scheduledAction == ActionDisable)
            removals.push_back(p.get());
        else if (p->scheduledAction == ActionEnable)
            enables.push_back(p.get());
    }
    selectCandidates(installer, enables, kNoFloor, false);
    std::reverse(removals.begin(), removals.end());

    // Step 8: carry out.
    for (InstalledPackage* package : removals) {
        if (package->scheduledAction == ActionUninstall)
            uninstallPackage(installer, manifest, *package, reportLevel);
        else
            disablePackage(installer, manifest, *package, reportLevel);
    }
    std::vector<InstalledPackage*> enableList;
    for (PackageRecord* p : enables) enableList.push_back(static_cast<InstalledPackage*>(p));
    enablePackages(installer, manifest, enableList, report);
}

void enablePackages(Installer& installer, Manifest& manifest,
                    const std::vector<InstalledPackage*>& packages, bool report) {
    for (InstalledPackage* package : packages) {
        const std::string name = recordName(*package);
        if (report) Reporter::status(installer, "enabling " + name + "...");
        removeStateFile(manifest, *package, "disabled");
        if (package->userChoice)
            writeStateFile(manifest, *package, "enabled", "user");
        else
            removeStateFile(manifest, *package, "enabled");
        package->disabled = false;
        package->scheduledAction = ActionNone;
        if (report) Reporter::info(installer, "enabled %s", name.c_str());
    }
}

void cleanupPackages(Installer& installer, Manifest& manifest) {
    applyScheduledActions(installer, manifest, 0);
    for (const auto& p : installer.packages) {
        if (p->name == "wisp" || p->name == "disk-drivers" || p->name == "system" || p->isBundle)
            continue;
        // A package made for a recent system is kept; anything older is outdated.
        const bool recent = std::any_of(p->depends.begin(), p->depends.end(), [](const auto& d) {
            return d.name == "system" && d.minVersion > kCleanupSystemFloor;
        });
        if (!recent) p->scheduledAction = ActionUninstall;
    }
    applyScheduledActions(installer, manifest, 1);
}

}  // namespace velmara
