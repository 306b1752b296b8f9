#include "pkgdb/package_record.h"

#include <cstdio>

PackageRecord::PackageRecord(const PackageRecord& other) { *this = other; }

PackageRecord& PackageRecord::operator=(const PackageRecord& other) {
    if (this == &other) return *this;
    name = other.name;
    version = other.version;
    buildTime = other.buildTime;
    flags = other.flags;
    text24 = other.text24;
    architecture = other.architecture;
    text2 = other.text2;
    note = other.note;
    hasImage = other.hasImage;
    depends = other.depends;
    provides = other.provides;
    conflicts = other.conflicts;
    isBundle = other.isBundle;
    // Members are owned by the original bundle; a copy is a plain record.
    members.clear();
    return *this;
}

PackageRecord::~PackageRecord() = default;

bool sameName(const std::string& a, const std::string& b) { return a == b; }

std::string versionText(PackageVersion version) {
    const unsigned major = version >> 24;
    const unsigned minor = (version >> 16) & 0xFF;
    const unsigned kind = (version >> 8) & 0xFF;
    const unsigned patch = version & 0xFF;
    char text[80];
    if (kind == kReleaseFinal) {
        if (patch != 0)
            std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, patch);
        else
            std::snprintf(text, sizeof text, "%u.%u", major, minor);
    } else {
        const char* word = kind == kReleaseAlpha       ? "alpha"
                           : kind == kReleaseBeta      ? "beta"
                           : kind == kReleaseCandidate ? "rc"
                                                       : "";
        if (patch != 0)
            std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, word, patch);
        else
            std::snprintf(text, sizeof text, "%u.%u%s", major, minor, word);
    }
    return text;
}

std::string entryDisplayName(const DependencyEntry& entry) {
    if (entry.minVersion == 0) return entry.name;
    return entry.name + "-" + versionText(entry.minVersion);
}

std::string recordName(const PackageRecord& record) {
    return record.name + "-" + versionText(record.version);
}

std::string displayName(const InstalledPackage& package) {
    if (!package.bundle.name.empty()) return entryDisplayName(package.bundle);
    return recordName(package);
}
