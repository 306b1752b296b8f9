// The process-wide context of one installer run: the architecture, the installed set and the
// console reporter's state.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "record/package_record.h"
#include "report/reporter.h"

namespace velmara {

class Installer : public ReportContext {
public:
    // The one context of the process; created on first use and never destroyed.
    static Installer& instance();

    // Fills `packages` from the installed-package database and stores quiet and arch. False
    // when the database could not be read (an I/O error, reported): the installed set is then
    // unknown, and nothing may be staged on the strength of it. A missing database is empty.
    [[nodiscard]] bool loadDatabase(bool quietRun, const std::string& architecture);

    std::string arch;
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    // Every installed record that lists each installed file (by its location below "/flash"),
    // so that a removal spares a file another package still lists. Kept by the database layer.
    std::unordered_multimap<std::string, const InstalledPackage*> fileOwners;
};

}  // namespace velmara
