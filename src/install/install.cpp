#include "install/install.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>

#include "package/extract.h"
#include "package/input_file.h"
#include "package/package_report.h"
#include "package/signature.h"
#include "pkgdb/database.h"
#include "pkgdb/schedule.h"
#include "report/reporter.h"
#include "resolve/package_operations.h"
#include "resolve/resolution.h"

namespace velmara {

namespace {

// What the installing reader stops at; everything else is hashed and copied in passing.
const std::vector<uint32_t> kInstallTypes = {
    PartType::Header,  PartType::BundleHeader, PartType::DisabledMembers, PartType::Architecture,
    PartType::Depends, PartType::Provides,     PartType::Conflicts,       PartType::Image,
    PartType::Files,   PartType::Signature,    PartType::BundleSignature};

// What scanning a download directory needs: headers and the lists behind them.
const std::vector<uint32_t> kScanTypes = {
    PartType::BundleHeader, PartType::Header, PartType::Text24,  PartType::Architecture,
    PartType::Text2,        PartType::Note,   PartType::Depends, PartType::Provides,
    PartType::Conflicts,    PartType::Image};

constexpr const char* kPackageSuffixes[] = {".vlp", ".wsp"};

bool bootImageKeptWhole() {
    return std::getenv(kBootImageVariable) != nullptr;
}

bool carriesBootImage(const PackageRecord& record) {
    return (record.flags & kFlagBootImage) != 0;
}

// The data ended where the outer header said, with every byte read and copied, and every part
// stood where one may: a stream cut inside a part, one longer or shorter than declared, or one
// with a part outside the signed ranges that the format does not allow there, is not a whole
// package.
bool endedWhole(const PackageReader& reader) {
    return reader.partType() == PartType::None && reader.parts().partRemaining() == 0 &&
           reader.consumed() == reader.declaredSize() && !reader.parts().stopped() &&
           !reader.sequence().broken();
}

// A failing copy or a failed read stops the reader: that is reported once, as what it is, not
// as a broken package.
void reportBroken(Installer& installer, const InstalledPackage& record,
                  const PackageReader& reader) {
    if (!reader.parts().stopped()) Reporter::brokenPackage(installer, record);
}

// Names from package files and directories are shown with their control characters masked,
// so that they cannot split the console line or a line of the postlog.
std::string printable(std::string text) {
    for (char& c : text) {
        if (std::iscntrl(static_cast<unsigned char>(c))) c = '?';
    }
    return text;
}

// The database writes the package's name and the names in its lists as words of text lines:
// one that the loader could not read back would lose the package at the next run.
bool hasUsableNames(const PackageRecord& record) {
    if (!isPackageName(record.name)) return false;
    for (const auto* list : {&record.depends, &record.provides, &record.conflicts}) {
        for (const DependencyEntry& entry : *list) {
            if (!isPackageName(entry.name)) return false;
        }
    }
    return true;
}

void reportUnusableName(Installer& installer, const InstalledPackage& record) {
    InstalledPackage shown(record);
    shown.name = printable(shown.name);
    Reporter::brokenPackage(installer, shown);
}

void leaveConvertMarker() {
    // Written at once: the conversion is due even if this run fails afterwards.
    std::ofstream marker(kConvertMarker, std::ios::binary | std::ios::trunc);
}

// The system acts on the flag at the next start: an installation without it is incomplete.
bool stageUpgradedFlag(Installer& installer, Manifest& manifest) {
    if (stageFile(manifest, kUpgradedFlag, 1, "")) return true;
    Reporter::writeFailed(installer, kUpgradedFlag, errno);
    return false;
}

// The installed version that a new one replaces. It leaves `packages` while the new version is
// installed and comes back to its place, with its file list and pending action, if the new
// version fails: a caller that goes on with `packages` then still finds it.
class EarlierVersion {
  public:
    explicit EarlierVersion(Installer& installer) : installer_(installer) {}
    ~EarlierVersion() { putBack(); }
    EarlierVersion(const EarlierVersion&) = delete;
    EarlierVersion& operator=(const EarlierVersion&) = delete;

    // Stages the removal of the record's files and entry, and takes it out of `packages`.
    void takeOut(size_t index, Manifest& manifest) {
        auto& packages = installer_.packages;
        record_ = std::move(packages[index]);
        packages.erase(packages.begin() + static_cast<std::ptrdiff_t>(index));
        index_ = index;
        files_ = record_->files;
        action_ = record_->scheduledAction;
        removePackageFiles(*record_, manifest);
    }

    // The new version is in place; the earlier one is gone for good.
    void forget() { record_.reset(); }

  private:
    void putBack() {
        if (!record_) return;
        record_->files = std::move(files_);
        record_->scheduledAction = action_;
        listFiles(installer_, *record_);
        auto& packages = installer_.packages;
        const size_t at = std::min(index_, packages.size());
        packages.insert(packages.begin() + static_cast<std::ptrdiff_t>(at), std::move(record_));
    }

    Installer& installer_;
    std::unique_ptr<InstalledPackage> record_;
    size_t index_ = 0;
    std::set<std::string> files_;
    int32_t action_ = ActionNone;
};

// Takes records out of `packages` by identity.
void eraseRecords(Installer& installer, const std::vector<const InstalledPackage*>& records) {
    auto& packages = installer.packages;
    packages.erase(std::remove_if(packages.begin(), packages.end(),
                                  [&](const auto& p) {
                                      return std::find(records.begin(), records.end(), p.get()) !=
                                             records.end();
                                  }),
                   packages.end());
}

// The records a bundle adds to `packages` besides its members: the bundle itself, which stays
// only when the whole bundle was installed, and the empty-named records that make the members
// on its disabled-members list install disabled. Those never outlive the member installation:
// they are no packages, and would keep a later package of that name from installing enabled.
class BundleRecords {
  public:
    explicit BundleRecords(Installer& installer) : installer_(installer) {}
    ~BundleRecords() {
        dropDisablers();
        if (bundle_) eraseRecords(installer_, {bundle_});
    }
    BundleRecords(const BundleRecords&) = delete;
    BundleRecords& operator=(const BundleRecords&) = delete;

    InstalledPackage& enter(std::unique_ptr<InstalledPackage> bundle) {
        bundle_ = bundle.get();
        installer_.packages.push_back(std::move(bundle));
        return *installer_.packages.back();
    }

    // An enabled record that conflicts with the member of that name.
    void addDisabler(const std::string& memberName) {
        auto disabler = std::make_unique<InstalledPackage>();
        disabler->conflicts.push_back(DependencyEntry{memberName, 0, 0, 0});
        disablers_.push_back(disabler.get());
        installer_.packages.push_back(std::move(disabler));
    }

    void dropDisablers() {
        if (disablers_.empty()) return;
        eraseRecords(installer_, disablers_);
        disablers_.clear();
    }

    // The bundle is installed: it stays in `packages`.
    void keep() { bundle_ = nullptr; }

  private:
    Installer& installer_;
    const InstalledPackage* bundle_ = nullptr;
    std::vector<const InstalledPackage*> disablers_;
};

// A member that is not installed is still read to its signature and verified: the bundle file
// is kept whole, and its members are read back from that copy at the next start.
bool passOverMember(Installer& installer, const InstalledPackage& record,
                    const DependencyEntry& bundleEntry, PackageReader& reader) {
    if (reader.partType() == PartType::Image) reader.nextPart();
    if (reader.partType() == PartType::Files) reader.nextPart();
    if (!verifySignature(record, reader)) {
        InstalledPackage shown(record);
        shown.bundle = bundleEntry;
        reportBroken(installer, shown, reader);
        return false;
    }
    reader.nextPart();
    return true;
}

void passOverImage(Installer& installer, const InstalledPackage& record, PackageReader& reader) {
    for (uint32_t left = reader.partLength(); left > 0 && reader;) {
        Reporter::progress(installer, record, reader);
        const uint32_t step = std::min(left, kImageSkipStep);
        reader.seekg(std::streamoff(step), std::ios_base::cur);
        left -= step;
    }
}

// After the signature of a single package: at most an architecture part and an empty
// dependency part, then the end of the data.
bool trailerAccepted(PackageReader& reader) {
    if (reader.partType() == PartType::Architecture) reader.nextPart();
    if (reader.partType() == PartType::Depends) {
        if (reader.partLength() != 0) return false;
        reader.nextPart();
    }
    return endedWhole(reader);
}

// A candidate that `checkCandidate` blocked: the installed record that stands for it, or null.
InstalledPackage* notInstalled(Installer& installer, PackageReader& reader,
                               const InstalledPackage& record, CandidateConditions conditions,
                               InstallFlags flags, const DependencyEntry* bundleEntry,
                               bool* bootFlag) {
    InstalledPackage* installed = findPackage(installer.packages, record.name);
    if (bundleEntry) {
        // Members are checked silently; a member that stops its bundle says why. So does one
        // passed over while another version of it stays: the bundle's kept image would name
        // this version at the next start, over files that are not its own.
        if (!installed || compareRecords(*installed, record) != 0) {
            (void)checkCandidate(installer, record, flags | Conflict);
            return nullptr;
        }
        return passOverMember(installer, record, *bundleEntry, reader) ? installed : nullptr;
    }
    if ((conditions & Reinstall) && (flags & allowReinstall)) {
        Reporter::status(installer, std::string(kReinstallWipeWidth, ' '));
        Reporter::status(installer, "");
        Reporter::info(installer, "installed %s%s", record.disabled ? "(disabled) " : "",
                       recordName(record).c_str());
        if (bootFlag && installed) *bootFlag = carriesBootImage(*installed);
        return installed;
    }
    // Already installed: checkCandidate has said so.
    if (conditions & Reinstall) return installed;
    return nullptr;
}

InstalledPackage* installOne(Installer& installer, Manifest& manifest, PackageReader& reader,
                             InstallFlags flags, const ChoiceMap& choiceMap,
                             const DependencyEntry* bundleEntry, std::string* imageDir,
                             bool* bootFlag, bool& newlyInstalled) {
    newlyInstalled = false;
    auto record = std::make_unique<InstalledPackage>();
    if (!readPackageHeader(*record, reader)) return nullptr;
    // A member may not stand for its own bundle.
    if (bundleEntry && sameName(record->name, bundleEntry->name)) return nullptr;
    // The name becomes the entry directory and, disabled, a directory below "/flash/x/":
    // refused before anything is staged when the database could not hold or read back it or
    // a name in its lists.
    if (!hasUsableNames(*record)) {
        reportUnusableName(installer, *record);
        return nullptr;
    }
    // Nothing but empty markers may stand before a header, outside every signed range.
    if (reader.sequence().broken()) {
        reportBroken(installer, *record, reader);
        return nullptr;
    }
    const bool alternative = reader.magic() == AlternativeMagic;
    // The magic is outside the signature. A package with the alternative magic is never
    // recorded, so it may not stand in for an installed package of its name: that package's
    // entry would go on describing files this one replaced.
    if (alternative && indexOfPackage(installer.packages, record->name) >= 0) {
        Reporter::error(installer,
                        "can not install %s: %s is installed, and a package with the alternative "
                        "magic would not replace it",
                        recordName(*record).c_str(), record->name.c_str());
        return nullptr;
    }
    // A package without a database entry has no place to keep an image in either.
    const bool keepsImage = record->hasImage && !alternative;
    if (keepsImage && imageDir) *imageDir = databaseDir(*record);
    // A copy of a single package is kept only as its image or as the boot image; otherwise
    // writing the rest of it would only cost flash writes.
    if (!bundleEntry && !keepsImage && !(carriesBootImage(*record) && bootImageKeptWhole()))
        reader.parts().stopCopying();
    // Conflicts never refuse: the package is then installed disabled. Members are decided here.
    const InstallFlags acceptMask = bundleEntry ? kAcceptEverything : (flags | Conflict);
    CandidateConditions conditions = checkCandidate(installer, *record, acceptMask);
    const auto choice = choiceMap.find(record->name);
    record->disabled = choice != choiceMap.end() && choice->second;
    record->userChoice = choice != choiceMap.end();
    if (conditions & Conflict) {
        conditions &= ~Conflict;
        record->disabled = true;
    }
    // The same version is never installed again, whatever the caller accepts.
    const CandidateConditions blocking = conditions & (~flags | Reinstall);
    if (blocking != 0)
        return notInstalled(installer, reader, *record, conditions, flags, bundleEntry, bootFlag);

    if (bundleEntry) record->bundle = *bundleEntry;
    EarlierVersion earlier(installer);
    if (!alternative) {
        const int index = indexOfPackage(installer.packages, record->name);
        if (index >= 0) earlier.takeOut(size_t(index), manifest);
    }
    Reporter::progress(installer, *record, reader);
    if (!alternative && !claimDirectory(manifest, databaseDir(*record))) return nullptr;

    // The image is kept whole by the caller (through the copy); nothing here reads it.
    if (reader.partType() == PartType::Image) {
        passOverImage(installer, *record, reader);
        reader.nextPart();
    }
    if (reader.partType() == PartType::Files) {
        const bool keptWhole = bootImageKeptWhole() && carriesBootImage(*record);
        if (!keptWhole && !extractFiles(*record, manifest, reader)) return nullptr;
        reader.nextPart();
    }
    if (!verifySignature(*record, reader)) {
        reportBroken(installer, *record, reader);
        return nullptr;
    }
    reader.nextPart();
    // A member's bundle decides what may follow the last member.
    if (!bundleEntry && !trailerAccepted(reader)) {
        reportBroken(installer, *record, reader);
        return nullptr;
    }
    if (reader.parts().stopped()) return nullptr;
    // Only a system that was accepted may make the router convert its data at the next boot.
    if (record->name == kSystemPackage &&
        (record->version >> kMajorVersionShift) <= kLastConvertingMajor)
        leaveConvertMarker();

    if (!alternative && !writeDatabaseEntry(*record, manifest)) return nullptr;
    if ((carriesBootImage(*record) || record->name == kBrandingPackage) &&
        !stageUpgradedFlag(installer, manifest))
        return nullptr;
    if (!bundleEntry) Reporter::status(installer, "");
    const std::string name = record->name;
    const bool becomesBootImage = carriesBootImage(*record) && bootImageKeptWhole();
    InstalledPackage* installed = record.get();
    listFiles(installer, *record);
    installer.packages.push_back(std::move(record));
    earlier.forget();
    newlyInstalled = true;
    applyScheduledActions(installer, manifest, 0);
    // The scheduled actions may have taken the new record out again.
    const bool stillThere = std::any_of(installer.packages.begin(), installer.packages.end(),
                                        [&](const auto& p) { return p.get() == installed; });
    if (!stillThere) installed = findPackage(installer.packages, name);
    if (bootFlag) *bootFlag = becomesBootImage;
    return installed;
}

int installBundle(Installer& installer, Manifest& manifest, PackageReader& reader,
                  InstallFlags flags, const ChoiceMap& choiceMap, std::string* imageDir,
                  bool* bootFlag) {
    if (bootFlag) *bootFlag = false;
    auto bundle = std::make_unique<InstalledPackage>();
    if (!readPackageHeader(*bundle, reader)) return kInstallUnreadable;
    if (!isPackageName(bundle->name)) {
        reportUnusableName(installer, *bundle);
        return kInstallUnreadable;
    }
    // A bundle's relations are those of its members.
    if (!bundle->depends.empty() || !bundle->provides.empty() || !bundle->conflicts.empty())
        return kInstallUnreadable;
    // Its members would go unrecorded while the bundle is kept with them as its image.
    if (reader.magic() == AlternativeMagic) {
        Reporter::error(installer, "can not install %s: a bundle cannot have the alternative magic",
                        recordName(*bundle).c_str());
        return kInstallRefused;
    }
    if (reader.partType() == PartType::Image) reader.nextPart();
    if (bundle->hasImage && imageDir) *imageDir = databaseDir(*bundle);

    const CandidateConditions conditions = checkCandidate(installer, *bundle, flags);
    if (conditions & ~flags) return kInstallRefused;

    EarlierVersion earlier(installer);
    const int index = indexOfPackage(installer.packages, bundle->name);
    if (index >= 0) earlier.takeOut(size_t(index), manifest);
    if (!claimDirectory(manifest, databaseDir(*bundle))) return kInstallUnreadable;
    if (!writeDatabaseEntry(*bundle, manifest)) return kInstallUnreadable;

    const DependencyEntry bundleEntry{bundle->name, bundle->version, bundle->version, 0};
    // For messages after the members: the scheduled actions a member's installation applies
    // may already have taken the bundle record out again.
    const InstalledPackage shown(*bundle);
    BundleRecords added(installer);
    const InstalledPackage& entered = added.enter(std::move(bundle));

    std::set<std::string> oldMembers;
    for (const auto& p : installer.packages) {
        if (sameName(p->bundle.name, entered.name)) oldMembers.insert(p->name);
    }

    if (reader.partType() == PartType::DisabledMembers) {
        std::vector<DependencyEntry> disabledMembers;
        // A list cut short leaves the reader failed; the end check below refuses the bundle.
        (void)readEntryPart(reader, disabledMembers);
        for (const auto& entry : disabledMembers) {
            if (choiceMap.count(entry.name) == 0) added.addDisabler(entry.name);
        }
        reader.nextPart();
    }

    int members = 0;
    while (reader.partType() == PartType::Header) {
        bool memberBoot = false;
        bool newMember = false;
        InstalledPackage* member = installOne(installer, manifest, reader, flags, choiceMap,
                                              &bundleEntry, nullptr, &memberBoot, newMember);
        if (!member) return kInstallRefused;
        oldMembers.erase(member->name);
        if (bootFlag && memberBoot) *bootFlag = true;
        ++members;
    }
    added.dropDisablers();

    // The bundle's own parts are signed only by the bundle signature, which also binds the
    // members' digests: refused when it does not verify, and required where "/ram/SECURE" is.
    const bool bundleSigned = reader.partType() == PartType::BundleSignature;
    if (bundleSigned) {
        if (!verifyBundleSignature(reader)) {
            reportBroken(installer, shown, reader);
            return kInstallRefused;
        }
        reader.nextPart();
    }
    if (reader.partType() == PartType::Architecture) reader.nextPart();
    if (!endedWhole(reader)) return kInstallRefused;
    if (members == 0) return kInstallNoMembers;
    if (!bundleSigned && secureMarkerExists()) {
        reportBroken(installer, shown, reader);
        return kInstallRefused;
    }

    // Members of the previous version that this one no longer carries go.
    for (const std::string& name : oldMembers) {
        if (InstalledPackage* old = findPackage(installer.packages, name))
            old->scheduledAction = ActionUninstall;
    }
    added.keep();
    earlier.forget();
    applyScheduledActions(installer, manifest, 0);
    Reporter::status(installer, "");
    return kInstallDone;
}

bool hasPackageSuffix(const std::string& path) {
    for (const char* suffix : kPackageSuffixes) {
        const std::string_view end(suffix);
        if (path.size() >= end.size() &&
            path.compare(path.size() - end.size(), end.size(), end) == 0)
            return true;
    }
    return false;
}

// The headers of a package file whose size was checked.
bool readHeaders(PackageFileRecord& record, PackageReader& reader) {
    record.alternativeMagic = reader.magic() == AlternativeMagic;
    reader.wantedTypes = kScanTypes;
    reader.nextPart();
    if (!readPackageHeader(record, reader) || !hasUsableNames(record)) return false;
    if (!record.isBundle) return true;

    if (reader.partType() == PartType::Image) reader.nextPart();
    while (reader.partType() == PartType::Header) {
        auto member = std::make_unique<PackageRecord>();
        if (!readPackageHeader(*member, reader) || !hasUsableNames(*member)) return false;
        record.members.push_back(std::move(member));
        if (reader.partType() == PartType::Image) reader.nextPart();
    }
    return !record.members.empty();
}

// Reads the headers of one package file; false when the file is broken or, with `error` set,
// could not be read.
bool readPackageFile(PackageFileRecord& record, int& error) {
    error = 0;
    struct stat info;
    const bool sized = stat(record.path.c_str(), &info) == 0;
    // A directory has no package to read.
    if (sized && !S_ISREG(info.st_mode)) return false;
    InputFile file;
    if (!file.open(record.path)) {
        // Gone since it was listed: reported as broken, as it always was.
        if (!isAbsentError(errno)) error = errno;
        return false;
    }
    // Only headers are read, so nothing needs the digest, and passing over a large image or
    // file container is a seek rather than a read.
    PackageReader reader(file.stream(), false);
    record.declaredSize = reader.declaredSize();
    // A file still being downloaded is shorter than it says; one whose size cannot be read is
    // not refused for that.
    const bool whole = !sized || static_cast<uint32_t>(info.st_size) == record.declaredSize;
    const bool read = whole && readHeaders(record, reader);
    error = reader.parts().readError();
    return read && error == 0;
}

}  // namespace

InstalledPackage* installPackage(Installer& installer, Manifest& manifest, PackageReader& reader,
                                 InstallFlags flags, const ChoiceMap& choiceMap,
                                 const DependencyEntry* bundleEntry, std::string* imageDir,
                                 bool* bootFlag) {
    bool newlyInstalled = false;
    return installOne(installer, manifest, reader, flags, choiceMap, bundleEntry, imageDir,
                      bootFlag, newlyInstalled);
}

namespace {

int installRead(Installer& installer, Manifest& manifest, PackageReader& reader, InstallFlags flags,
                const ChoiceMap& choiceMap, std::streambuf* teeSink, std::string* imageDir,
                bool* bootFlag) {
    reader.wantedTypes = kInstallTypes;
    reader.nextPart();
    if (reader.partType() == PartType::BundleHeader)
        return installBundle(installer, manifest, reader, flags, choiceMap, imageDir, bootFlag);

    bool newlyInstalled = false;
    if (!installOne(installer, manifest, reader, flags, choiceMap, nullptr, imageDir, bootFlag,
                    newlyInstalled))
        return kInstallUnreadable;
    // A package that was already installed was neither read to its end nor verified: its copy
    // must not replace the kept image or the boot image.
    if (teeSink && !newlyInstalled) {
        if (imageDir) imageDir->clear();
        if (bootFlag) *bootFlag = false;
    }
    return kInstallDone;
}

}  // namespace

int installFromStream(Installer& installer, Manifest& manifest, std::istream& stream,
                      InstallFlags flags, const ChoiceMap& choiceMap, std::streambuf* teeSink,
                      std::string* imageDir, bool* bootFlag) {
    PackageReader reader(stream, true, teeSink);
    const int result =
        installRead(installer, manifest, reader, flags, choiceMap, teeSink, imageDir, bootFlag);
    // Whatever stopped at the failed read stayed silent about it: said here, once.
    if (result != kInstallDone && reader.parts().readError() != 0)
        Reporter::readFailed(installer, "the package", reader.parts().readError());
    return result;
}

void scanPackageDir(const std::string& directory,
                    std::vector<std::unique_ptr<PackageFileRecord>>& list) {
    Installer& installer = Installer::instance();
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
        // A download directory that could not be read hides what the upgrade was to install.
        if (!isAbsentError(errno)) Reporter::readFailed(installer, directory, errno);
        return;
    }
    for (;;) {
        // The end of the listing and a failed read both give null; only errno tells them apart.
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) Reporter::readFailed(installer, directory, errno);
            break;
        }
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string path = directory + name;
        if (!hasPackageSuffix(path)) continue;
        auto record = std::make_unique<PackageFileRecord>(path);
        int error = 0;
        if (readPackageFile(*record, error))
            list.push_back(std::move(record));
        else if (error != 0)
            Reporter::readFailed(installer, printable(path), error);
        else
            Reporter::error(installer, "broken package %s", printable(name).c_str());
    }
    closedir(dir);
}

Manifest::Result commitRun(Manifest& manifest) {
    const Manifest::Result result = manifest.commit(false);
    if (result == Manifest::Result::Refused) manifest.discard();
    return result;
}

}  // namespace velmara
