#include "resolve/resolution.h"

#include <algorithm>

#include "platform/flash_device.h"
#include "pkgdb/schedule.h"
#include "report/reporter.h"

namespace velmara {

BoardMinimumSource boardMinimumSource = readBoardMinimumVersion;

namespace {

const char* const kActionNames[] = {"", "uninstall", "enable", "disable"};

// The board's minimum guards only the system itself and the bundles that carry it.
bool isSystemPackage(const std::string& name) {
    return name == "system" || name.rfind("velmara", 0) == 0;
}

}  // namespace

void collectProviders(Installer& installer, const DependencyEntry& entry,
                      std::vector<InstalledPackage*>& providers, bool includeDisabled) {
    for (const auto& package : installer.packages) {
        if (isPlaceholder(*package)) continue;
        if (!satisfies(*package, entry) && !providesFor(*package, entry)) continue;
        if (includeDisabled || !package->disabled) providers.push_back(package.get());
    }
}

CandidateConditions checkCandidate(Installer& installer, const PackageRecord& candidate,
                                   InstallFlags acceptMask) {
    CandidateConditions found = 0;
    bool reported = false;
    const std::string name = recordName(candidate);
    auto mayReport = [&](CandidateConditions condition) {
        return !reported && (acceptMask & condition) == 0;
    };

    // Installed version: an older or identical candidate needs the caller's permission.
    // "branding" may always be replaced, whatever is installed.
    const InstalledPackage* installed = findPackage(installer.packages, candidate.name);
    if (installed && candidate.name != "branding") {
        const int order = compareRecords(candidate, *installed);
        if (order < 0) {
            found |= Downgrade;
            if (mayReport(Downgrade)) {
                Reporter::warning(installer, "omitting package %s: newer package %s is already installed",
                                  name.c_str(), recordName(*installed).c_str());
                reported = true;
            }
        } else if (order == 0) {
            found |= Reinstall;
            if (mayReport(Reinstall)) {
                Reporter::warning(installer, "omitting package %s: it is already installed",
                                  name.c_str());
                reported = true;
            }
        }
    }

    // Board minimum: the board cannot boot a system older than it was made for.
    if (isSystemPackage(candidate.name)) {
        const PackageVersion minimum = boardMinimumSource();
        if (candidate.version < minimum) {
            found |= Uninstallable;
            if (mayReport(Uninstallable)) {
                Reporter::error(installer, "omitting package %s: min Velmara version is %s",
                                name.c_str(), versionText(minimum).c_str());
                reported = true;
            }
        }
    }

    // Architecture: a package made for another processor cannot run here.
    if (!candidate.architecture.empty() && !sameName(candidate.architecture, installer.arch)) {
        found |= Uninstallable;
        if (mayReport(Uninstallable)) {
            Reporter::error(installer, "can not install %s: it is not made for %s, but for %s",
                            name.c_str(), installer.arch.c_str(), candidate.architecture.c_str());
            reported = true;
        }
    }

    // Dependencies: each must be met by an enabled installed package; the first gap decides.
    for (const auto& entry : candidate.depends) {
        std::vector<InstalledPackage*> providers;
        collectProviders(installer, entry, providers, false);
        if (!providers.empty()) continue;
        found |= Uninstallable;
        if (mayReport(Uninstallable)) {
            Reporter::error(installer, "can not install %s: %s is not installed, but is required",
                            name.c_str(), entryDisplayName(entry).c_str());
            reported = true;
        }
        break;
    }

    // Conflicts: an enabled installed package that may not stand beside the candidate.
    if (const InstalledPackage* conflicting = findConflicting(installer.packages, candidate)) {
        found |= Conflict;
        if (mayReport(Conflict)) {
            Reporter::error(installer, "can not install %s: it conflicts with %s", name.c_str(),
                            recordName(*conflicting).c_str());
        }
    }
    return found;
}

void selectCandidates(Installer& installer, std::vector<PackageRecord*>& candidates,
                      PackageVersion floor, bool report) {
    const bool downgrade = floor != kNoFloor;

    // Pass 1: every candidate is compared with all the others as given, dropped or not.
    std::vector<PackageRecord*> remaining;
    for (PackageRecord* c : candidates) {
        // A floor forbids going below it, whatever else is offered.
        if (downgrade && c->version < floor) {
            Reporter::warning(installer, "ommitting package %s: not allowed", recordName(*c).c_str());
            continue;
        }
        bool keep = true;
        for (PackageRecord* o : candidates) {
            if (o == c) continue;
            if (!isOrContains(*c, o->name) && !isOrContains(*o, c->name)) continue;
            int preference = compareRecords(*o, *c);
            // In a downgrade the older package wins.
            if (downgrade) preference = -preference;
            if (preference > 0) {
                if (report) {
                    Reporter::warning(installer,
                                      downgrade ? "omitting package %s: older package is already provided"
                                                : "omitting package %s: newer package is already provided",
                                      recordName(*c).c_str());
                }
                keep = false;
                break;
            }
            if (preference < 0) continue;
            // Equal: a bundle wins over an equal plain package; two equal plain packages or two
            // equal bundles leave nothing to choose, so neither is taken.
            if (c->isBundle && !o->isBundle) continue;
            keep = false;
            break;
        }
        if (keep) remaining.push_back(c);
    }

    // Pass 2: each candidate goes right after the last one it needs or that must precede it.
    std::vector<PackageRecord*> ordered;
    for (PackageRecord* r : remaining) {
        auto position = ordered.begin();
        for (auto e = ordered.end(); e != ordered.begin();) {
            --e;
            if (dependsOn(*r, **e) || conflictsWith(**e, *r)) {
                position = e + 1;
                break;
            }
        }
        ordered.insert(position, r);
    }
    candidates = std::move(ordered);
}

void activateDependencies(Installer& installer, InstalledPackage& record, bool report) {
    // A member keeps the bundle it came from.
    if (!record.bundle.name.empty()) {
        if (InstalledPackage* bundle = findPackage(installer.packages, record.bundle.name))
            keepActive(installer, *bundle, record, report);
    }
    for (const auto& entry : record.depends) {
        std::vector<InstalledPackage*> providers;
        collectProviders(installer, entry, providers, true);
        if (providerState(providers) == ActionNone) continue;
        // Nothing provides it at all: the lost-dependency step deals with this package.
        if (providers.empty()) return;
        std::vector<PackageRecord*> choice(providers.begin(), providers.end());
        selectCandidates(installer, choice, kNoFloor, false);
        if (choice.empty()) continue;
        keepActive(installer, static_cast<InstalledPackage&>(*choice.back()), record, report);
    }
}

void keepActive(Installer& installer, InstalledPackage& provider, const PackageRecord& dependent,
                bool report) {
    const int32_t action = provider.scheduledAction;
    if (action == ActionUninstall || action == ActionDisable) {
        if (report) {
            Reporter::warning(installer, "can not %s %s: %s depends on it", kActionNames[action],
                              recordName(provider).c_str(), dependent.name.c_str());
        }
        provider.scheduledAction = ActionNone;
        activateDependencies(installer, provider, report);
    } else if (provider.disabled) {
        provider.scheduledAction = ActionEnable;
        activateDependencies(installer, provider, report);
    }
}

}  // namespace velmara
