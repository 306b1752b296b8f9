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

// Where the message log is kept.
constexpr const char* kPostlogPath = "/flash/postlog";

class Installer {
public:
    // The one context of the process; created on first use and never destroyed.
    static Installer& instance();

    // Fills `packages` from the installed-package database and stores quiet and arch. False
    // when the database could not be read (an I/O error, reported): the installed set is then
    // unknown, and nothing may be staged on the strength of it. A missing database is empty.
    [[nodiscard]] bool loadDatabase(bool quietRun, const std::string& architecture);

    std::string arch;
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    std::string statusLine;             // the status line now shown; empty when none
    std::vector<std::string> messages;  // recorded for the postlog, without line ends
    uint8_t quiet = 0;
    // errno of the first failure to read or write a file that this run reported (0: none). It
    // sticks: whatever the run staged after it is incomplete, so the run commits nothing.
    int failure = 0;
    // Every installed record that lists each installed file (by its location below "/flash"),
    // so that a removal spares a file another package still lists. Kept by the database layer.
    std::unordered_multimap<std::string, const InstalledPackage*> fileOwners;

    // Set once the postlog was read back and reserved; it then gets rewritten, not appended.
    bool postlogReset = false;
    // Console and postlog location; tests point these elsewhere.
    std::ostream* console = &std::cout;
    std::string postlogPath = kPostlogPath;
};
