// The process-wide context of one installer run: the architecture, the installed set and the
// console reporter's state.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "pkgdb/package_record.h"

class Installer {
public:
    // The one context of the process; created on first use and never destroyed.
    static Installer& instance();

    // Fills `packages` from the installed-package database and stores quiet and arch.
    void loadDatabase(bool quietRun, const std::string& architecture);

    std::string arch;
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    std::string statusLine;             // the status line now shown; empty when none
    std::vector<std::string> messages;  // recorded for the postlog, without line ends
    uint8_t quiet = 0;

    // Set once the postlog was read back and reserved; it then gets rewritten, not appended.
    bool postlogReset = false;
    // Console and postlog location; tests point these elsewhere.
    std::ostream* console = &std::cout;
    std::string postlogPath = "/flash/postlog";
};
