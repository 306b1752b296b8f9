#include "frontend/upgrade.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

#include "install/install.h"
#include "install/stdin_install.h"
#include "package/input_file.h"
#include "pkgdb/database.h"
#include "pkgdb/text_file.h"
#include "report/reporter.h"
#include "resolve/package_operations.h"
#include "resolve/resolution.h"
#include "resolve/space.h"

namespace velmara {

namespace {

// The marker makes the run a downgrade; its number, if any, is the lowest version allowed.
// False when it exists but could not be read: which packages are allowed is then unknown.
bool readDowngradeFloor(Installer& installer, InstallFlags& flags, PackageVersion& floor) {
    std::string text;
    ReadFailure failure;
    floor = kNoFloor;
    switch (readTextFile(kDowngradeMarker, text, failure, kMarkerReadLimit)) {
        case ReadResult::Absent:
            return true;
        case ReadResult::Unreadable:
            Reporter::readFailed(installer, failure.path, failure.error);
            return false;
        case ReadResult::Read:
            break;
    }
    flags |= allowDowngrade;
    std::istringstream marker(text);
    if (!(marker >> floor)) floor = 0;
    return true;
}

std::vector<std::unique_ptr<PackageFileRecord>> findCandidates() {
    std::vector<std::unique_ptr<PackageFileRecord>> found;
    struct stat info;
    bool first = true;
    for (const char* directory : kDownloadDirectories) {
        const bool ignored = first && stat(kIgnoreDownloadsMarker, &info) == 0;
        first = false;
        if (!ignored) scanPackageDir(directory, found);
        if (!found.empty()) break;
    }
    return found;
}

// Names whose holders were enabled before the run; the upgrade must not leave them all disabled.
std::set<std::string> neededNames(const Installer& installer) {
    std::set<std::string> names;
    for (const auto& p : installer.packages) {
        if (p->disabled) continue;
        names.insert(p->name);
        for (const auto& provided : p->provides) names.insert(provided.name);
    }
    return names;
}

std::vector<InstalledPackage*> packagesToEnable(Installer& installer,
                                                const std::set<std::string>& needed) {
    std::vector<InstalledPackage*> toEnable;
    for (const std::string& name : needed) {
        const DependencyEntry entry{name, 0, 0, 0};
        InstalledPackage* holder = nullptr;
        for (const auto& p : installer.packages) {
            if (!sameName(p->name, name) && !providesFor(*p, entry)) continue;
            holder = p.get();
            if (!p->disabled) break;
        }
        if (holder && holder->disabled && !findConflicting(installer.packages, *holder))
            toEnable.push_back(holder);
    }
    return toEnable;
}

// An upgrade that could not read what it needs, or stage what it decided, is all dropped.
std::vector<PackageRecord> failedUpgrade(Manifest& manifest) {
    manifest.discard();
    return {};
}

}  // namespace

int failureStatus(const Installer& installer) {
    return installer.failure == ENOSPC ? kNoSpaceStatus : kIoFailureStatus;
}

std::vector<PackageRecord> runUpgrade(Installer& installer, Manifest& manifest,
                                      InstallFlags flags) {
    PackageVersion floor = kNoFloor;
    if (!readDowngradeFloor(installer, flags, floor)) return failedUpgrade(manifest);
    std::vector<std::unique_ptr<PackageFileRecord>> files = findCandidates();
    if (installer.failure != 0) return failedUpgrade(manifest);
    std::vector<PackageRecord*> candidates;
    for (const auto& file : files) candidates.push_back(file.get());
    selectCandidates(installer, candidates, floor, true);

    // The user's choice of state for a name carries over to its new version.
    ChoiceMap choiceMap;
    for (const auto& p : installer.packages)
        if (p->userChoice) choiceMap.emplace(p->name, p->disabled);
    const std::set<std::string> needed = neededNames(installer);

    if (!candidates.empty()) Reporter::reservePostlog(installer);
    std::vector<PackageRecord> installed;
    for (PackageRecord* candidate : candidates) {
        const auto& file = static_cast<const PackageFileRecord&>(*candidate);
        InputFile stream;
        if (!stream.open(file.path)) {
            Reporter::readFailed(installer, file.path, errno);
            return failedUpgrade(manifest);
        }
        bool bootFlag = false;
        const int result = installFromStream(installer, manifest, stream.stream(), flags, choiceMap,
                                             nullptr, nullptr, &bootFlag);
        // All or nothing: one failure drops the whole run, scheduled actions included.
        if (result != kInstallDone || installer.failure != 0) return failedUpgrade(manifest);
        if (file.hasImage) {
            const std::string imagePath = databaseDir(file) + "image";
            if (bootFlag) {
                manifest.addMove(file.path, kBootImagePath);
                manifest.addLink(kBootImagePath, imagePath);
            } else {
                manifest.addMove(file.path, imagePath);
            }
        }
        installed.push_back(*candidate);
    }

    enablePackages(installer, manifest, packagesToEnable(installer, needed), true);
    if (installer.failure != 0) return failedUpgrade(manifest);
    if (installer.packages.empty()) {
        Reporter::error(installer, "router installation failed!!!");
        manifest.discard();
        return {};
    }
    return installed;
}

int runUpgradeMode(Installer& installer, Manifest& manifest, InstallFlags flags, bool commitNow) {
    int status = 0;
    std::vector<PackageRecord> installed = runUpgrade(installer, manifest, flags);
    if (installer.failure != 0) {
        // Dropped already; what was installed in memory is not on flash.
        installed.clear();
        status = failureStatus(installer);
    } else if ((flags & allowReinstall) == 0 && !hasEnoughSpace(manifest)) {
        // A reinstall is how a router short of space is repaired, so it is not held back by it.
        Reporter::error(installer, "not enough space for upgrade");
        manifest.discard();
        installed.clear();
        status = kNoSpaceStatus;
    }
    if (!manifest.empty()) {
        bool done = stagePackagesChanged(installer, manifest);
        if (!done) {
            manifest.discard();
            status = failureStatus(installer);
        } else if (commitNow) {
            done = commitRun(manifest) == Manifest::Result::Done;
            if (!done) status = kCommitFailedStatus;
        } else if (!manifest.save(kSavedManifestPath)) {
            // Unsaved operations would never be carried out, and their staged files never freed.
            Reporter::error(installer, "could not save %s: %s", kSavedManifestPath,
                            std::strerror(errno));
            manifest.discard();
            done = false;
            status = kCommitFailedStatus;
        }
        if (!done) installed.clear();
    }
    // Only what the commit (or the saved set) really holds is reported as installed.
    for (const PackageRecord& record : installed)
        Reporter::info(installer, "installed %s", recordName(record).c_str());
    Reporter::writePostlog(installer);
    return status;
}

}  // namespace velmara
