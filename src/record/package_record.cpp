#include "record/package_record.h"

#include <cstdio>

namespace velmara {

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

bool isPlaceholder(const PackageRecord& record) {
    return record.version == kPlaceholderMark && record.buildTime == kPlaceholderMark;
}

bool satisfies(const PackageRecord& record, const DependencyEntry& entry) {
    return sameName(record.name, entry.name) && record.version >= entry.minVersion &&
           (entry.maxVersion == 0 || record.version <= entry.maxVersion);
}

bool providesFor(const PackageRecord& record, const DependencyEntry& entry) {
    for (const DependencyEntry& provided : record.provides) {
        if (!sameName(provided.name, entry.name)) continue;
        // The provided range lies wholly above the wanted one.
        if (provided.minVersion != 0 && entry.maxVersion != 0 &&
            provided.minVersion > entry.maxVersion)
            continue;
        if (provided.maxVersion == 0 || provided.maxVersion >= entry.minVersion) return true;
    }
    return false;
}

bool dependsOn(const PackageRecord& a, const PackageRecord& b) {
    // A direct need, met by b itself or by a name b provides.
    for (const DependencyEntry& need : a.depends)
        if (satisfies(b, need) || providesFor(b, need)) return true;
    // Needing any member of a bundle is needing the bundle.
    for (const auto& member : b.members)
        if (dependsOn(a, *member)) return true;
    // A bundle needs what any of its members needs.
    for (const auto& member : a.members)
        if (dependsOn(*member, b)) return true;
    return false;
}

bool conflictsWith(const PackageRecord& a, const PackageRecord& b) {
    // Placeholders stand in for packages not known yet; they never block anything.
    if (isPlaceholder(a) || isPlaceholder(b)) return false;
    // a names b outright in its conflicts.
    for (const DependencyEntry& conflict : a.conflicts)
        if (satisfies(b, conflict)) return true;
    // b provides a's own name: a negative priority means b is meant to replace a.
    for (const DependencyEntry& provided : b.provides)
        if (sameName(provided.name, a.name)) return provided.priority < 0;
    // a provides b's name, or both provide one name: the higher priority keeps its place.
    for (const DependencyEntry& ours : a.provides) {
        if (sameName(ours.name, b.name)) return ours.priority >= 0;
        for (const DependencyEntry& theirs : b.provides)
            if (sameName(ours.name, theirs.name)) return theirs.priority < ours.priority;
    }
    // a's conflicts name something that b provides.
    for (const DependencyEntry& conflict : a.conflicts)
        if (providesFor(b, conflict)) return true;
    // b is a bundle that carries a package of a's name.
    for (const auto& member : b.members)
        if (sameName(member->name, a.name)) return true;
    // a is a bundle one of whose members conflicts with b.
    for (const auto& member : a.members)
        if (conflictsWith(*member, b)) return true;
    return false;
}

bool isOrContains(const PackageRecord& record, const std::string& name) {
    if (sameName(record.name, name)) return true;
    for (const auto& member : record.members)
        if (sameName(member->name, name)) return true;
    return false;
}

namespace {

const PackageRecord* memberNamed(const PackageRecord& bundle, const std::string& name) {
    for (const auto& member : bundle.members)
        if (sameName(member->name, name)) return member.get();
    return nullptr;
}

template <typename T>
int order(T a, T b) {
    return a > b ? 1 : a < b ? -1 : 0;
}

}  // namespace

int compareRecords(const PackageRecord& first, const PackageRecord& second) {
    const PackageRecord* a = &first;
    const PackageRecord* b = &second;
    int sign = 1;
    // Each step descends one bundle level, so the loop ends with the nesting depth.
    for (;;) {
        if (sameName(a->name, b->name)) {
            int result = order(a->version, b->version);
            if (result == 0) result = order(a->buildTime, b->buildTime);
            return sign * result;
        }
        // A bundle is compared with a single package through its member of that name.
        if (const PackageRecord* member = memberNamed(*a, b->name)) {
            a = member;
            continue;
        }
        if (const PackageRecord* member = memberNamed(*b, a->name)) {
            b = a;
            a = member;
            sign = -sign;
            continue;
        }
        return 0;
    }
}

InstalledPackage* findConflicting(const std::vector<std::unique_ptr<InstalledPackage>>& packages,
                                  const PackageRecord& candidate) {
    for (const auto& installed : packages)
        if (!installed->disabled && conflictsWith(*installed, candidate)) return installed.get();
    return nullptr;
}

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

namespace {

// One decimal component of a version, 0 to 255; advances `text` past its digits.
bool parseComponent(std::string_view& text, unsigned& value) {
    size_t digits = 0;
    value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + unsigned(text[digits] - '0');
        if (value > 0xFF) return false;
        ++digits;
    }
    if (digits == 0) return false;
    text.remove_prefix(digits);
    return true;
}

}  // namespace

bool parseVersion(std::string_view text, PackageVersion& version) {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    if (!parseComponent(text, major) || text.empty() || text.front() != '.') return false;
    text.remove_prefix(1);
    if (!parseComponent(text, minor)) return false;
    uint8_t kind = kReleaseFinal;
    if (text.empty()) {
        version = makeVersion(major, minor, kind, 0);
        return true;
    }
    if (text.front() == '.') {
        // A final release with a patch number: "6.48.2".
        text.remove_prefix(1);
        if (!parseComponent(text, patch) || !text.empty()) return false;
        version = makeVersion(major, minor, kind, patch);
        return true;
    }
    static constexpr struct {
        std::string_view word;
        uint8_t kind;
    } kWords[] = {{"alpha", kReleaseAlpha}, {"beta", kReleaseBeta}, {"rc", kReleaseCandidate}};
    bool known = false;
    for (const auto& candidate : kWords) {
        if (text.substr(0, candidate.word.size()) == candidate.word) {
            kind = candidate.kind;
            text.remove_prefix(candidate.word.size());
            known = true;
            break;
        }
    }
    if (!known) return false;
    // "7.1rc" is candidate 0; a number, when present, must be the whole rest.
    if (!text.empty() && (!parseComponent(text, patch) || !text.empty())) return false;
    version = makeVersion(major, minor, kind, patch);
    return true;
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

}  // namespace velmara
