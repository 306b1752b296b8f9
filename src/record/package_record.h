// Package records, versions and the relations between records that resolution,
// installation and the enable/disable operations are built from.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmara {

// major(31..24) minor(23..16) release kind letter(15..8) patch(7..0); ordered as a plain number.
using PackageVersion = uint32_t;

constexpr uint8_t kReleaseAlpha = 'a';
constexpr uint8_t kReleaseBeta = 'b';
constexpr uint8_t kReleaseCandidate = 'c';
constexpr uint8_t kReleaseFinal = 'f';

// Version and build time both set to this mark a placeholder record, which never conflicts.
constexpr uint32_t kPlaceholderMark = 0xFFFFFFFFu;

// Package flag bits.
constexpr uint32_t kFlagBootImage = 0x1;   // the package carries the router's boot image
constexpr uint32_t kFlagNoMetadata = 0x2;  // no metadata text files in the database

constexpr PackageVersion makeVersion(unsigned major, unsigned minor, uint8_t kind, unsigned patch) {
    return (PackageVersion(major & 0xFF) << 24) | (PackageVersion(minor & 0xFF) << 16) |
           (PackageVersion(kind) << 8) | PackageVersion(patch & 0xFF);
}

struct DependencyEntry {
    std::string name;
    PackageVersion minVersion = 0;  // 0 = no lower bound
    PackageVersion maxVersion = 0;  // inclusive; 0 = no upper bound
    int32_t priority = 0;           // meaningful only in provides lists
};

class PackageRecord {
public:
    explicit PackageRecord(std::string packageName = {}) : name(std::move(packageName)) {}
    PackageRecord(const PackageRecord& other);  // copies the base fields; members are not copied
    PackageRecord& operator=(const PackageRecord& other);
    virtual ~PackageRecord();

    std::string name;
    PackageVersion version = 0;
    uint32_t buildTime = 0;
    uint32_t flags = 0;
    std::string text24;
    std::string architecture;
    std::string text2;
    std::string note;
    bool hasImage = false;
    std::vector<DependencyEntry> depends;
    std::vector<DependencyEntry> provides;
    std::vector<DependencyEntry> conflicts;
    bool isBundle = false;
    // Only for a bundle read from a package file; the bundle owns its members.
    std::list<std::unique_ptr<PackageRecord>> members;
};

class InstalledPackage : public PackageRecord {
public:
    explicit InstalledPackage(std::string packageName = {})
        : PackageRecord(std::move(packageName)) {}

    std::set<std::string> files;  // full paths, each beginning with "/"
    DependencyEntry bundle;       // empty name: not installed from a bundle
    bool disabled = false;
    bool userChoice = false;
    int32_t scheduledAction = 0;  // see ScheduledAction in schedule.h
};

class PackageFileRecord : public PackageRecord {
public:
    explicit PackageFileRecord(std::string filePath = {})
        : path(filePath), sourcePath(std::move(filePath)) {}

    std::string path;
    std::string sourcePath;
    uint32_t declaredSize = 0;
    bool alternativeMagic = false;
};

[[nodiscard]] bool sameName(const std::string& a, const std::string& b);
[[nodiscard]] bool isPlaceholder(const PackageRecord& record);
[[nodiscard]] bool satisfies(const PackageRecord& record, const DependencyEntry& entry);
[[nodiscard]] bool providesFor(const PackageRecord& record, const DependencyEntry& entry);
[[nodiscard]] bool dependsOn(const PackageRecord& a, const PackageRecord& b);
// Not symmetric: a is the installed (or already chosen) record, b the candidate.
[[nodiscard]] bool conflictsWith(const PackageRecord& a, const PackageRecord& b);
[[nodiscard]] bool isOrContains(const PackageRecord& record, const std::string& name);
// -1, 0, +1: a older than, same as (or unrelated to), newer than b.
[[nodiscard]] int compareRecords(const PackageRecord& a, const PackageRecord& b);

template <typename Records>
[[nodiscard]] int indexOfPackage(const Records& records, const std::string& name) {
    int index = 0;
    for (const auto& record : records) {
        if (sameName(record->name, name)) return index;
        ++index;
    }
    return -1;
}

template <typename Records>
[[nodiscard]] auto findPackage(const Records& records, const std::string& name)
    -> decltype(&*records.front()) {
    for (const auto& record : records) {
        if (sameName(record->name, name)) return &*record;
    }
    return nullptr;
}

// First enabled installed package that conflicts with the candidate, or null.
[[nodiscard]] InstalledPackage* findConflicting(
    const std::vector<std::unique_ptr<InstalledPackage>>& packages, const PackageRecord& candidate);

[[nodiscard]] std::string versionText(PackageVersion version);
// The inverse of versionText for alpha, beta, rc and final versions ("7.1beta3", "7.1rc",
// "6.48.2", "7.12"); false on malformed text or a number above 255. A kind other than those
// four has no text of its own, so such versions do not come back.
[[nodiscard]] bool parseVersion(std::string_view text, PackageVersion& version);
[[nodiscard]] std::string entryDisplayName(const DependencyEntry& entry);
[[nodiscard]] std::string recordName(const PackageRecord& record);
[[nodiscard]] std::string displayName(const InstalledPackage& package);

}  // namespace velmara
