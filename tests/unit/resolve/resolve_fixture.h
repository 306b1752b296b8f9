// Small builders for installed sets and candidates in resolution tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "pkgdb/installer.h"

using namespace velmara;

namespace resolvetest {

constexpr PackageVersion v(unsigned major, unsigned minor, unsigned patch = 0) {
    return makeVersion(major, minor, 'f', patch);
}

inline DependencyEntry entry(const std::string& name, PackageVersion min = 0,
                             PackageVersion max = 0, int32_t priority = 0) {
    return DependencyEntry{name, min, max, priority};
}

// An installer whose console is a string, with "i386" as its architecture.
struct TestInstaller {
    TestInstaller() {
        installer.arch = "i386";
        installer.console = &console;
    }
    InstalledPackage& add(const std::string& name, PackageVersion version = v(1, 0),
                          std::vector<DependencyEntry> depends = {}) {
        auto record = std::make_unique<InstalledPackage>(name);
        record->version = version;
        record->architecture = "i386";
        record->depends = std::move(depends);
        installer.packages.push_back(std::move(record));
        return *installer.packages.back();
    }
    Installer installer;
    std::ostringstream console;
};

inline PackageRecord candidate(const std::string& name, PackageVersion version,
                               std::vector<DependencyEntry> depends = {}) {
    PackageRecord record(name);
    record.version = version;
    record.architecture = "i386";
    record.depends = std::move(depends);
    return record;
}

}  // namespace resolvetest
