// The entry point: argument examination, process preparation and dispatch to the run modes.
#pragma once

#include <cstdint>
#include <string>

#include "staging/manifest.h"

// Permission bits handed to installation; the same word holds the conditions a candidate check
// finds, and any found condition outside the accepted set refuses the candidate.
using InstallFlags = uint32_t;
using CandidateConditions = uint32_t;
constexpr InstallFlags allowDowngrade = 0x02;
constexpr InstallFlags allowReinstall = 0x20;
constexpr CandidateConditions Downgrade = 0x02;
constexpr CandidateConditions Uninstallable = 0x08;
constexpr CandidateConditions Conflict = 0x10;
constexpr CandidateConditions Reinstall = 0x20;

// The router's emulated board runs no installer at all.
constexpr const char* kSkippedBoard = "qemu_p9";
constexpr const char* kDefaultArch = "i386";
constexpr const char* kSavedManifestPath = "/ram/MANIFEST";
constexpr const char* kUsageLine = "usage: installer [-q] [-r <root>] [-]";

// Exit statuses besides those of an installation from standard input (0 to 3, and -1).
// The changes do not fit on flash, or a file could not be staged for lack of room.
constexpr int kNoSpaceStatus = 28;
// A file could not be read or written (the installed set among them): nothing was committed.
constexpr int kIoFailureStatus = 5;
// Something unforeseen stopped the run (it is reported); nothing was committed.
constexpr int kAbandonedStatus = 70;
// The run's commit was refused or not finished, or an interrupted one could not be finished.
constexpr int kCommitFailedStatus = 1;

struct RunOptions {
    bool cleanup = false;
    bool fromStdin = false;
    bool quiet = false;
    bool show = false;
    InstallFlags installFlags = 0;
    bool commitNow = true;
    std::string root;
    std::string arch = kDefaultArch;
};

// Runs one job as the command line says and returns the exit status.
int installerMain(int argc, char** argv);

// The modes that act while the arguments are examined, before any root change. They return the
// exit status.
int runCommitMode();
int runCancelMode();

// Commits a run's operations; when the commit is refused, its staged files are discarded.
Manifest::Result commitRun(Manifest& manifest);
