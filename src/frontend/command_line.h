// The entry point: argument examination, process preparation and dispatch to the run modes.
#pragma once

#include <cstdint>
#include <string>

#include "install/install.h"
#include "staging/manifest.h"

namespace velmara {

// The router's emulated board runs no installer at all.
constexpr const char* kSkippedBoard = "qemu_p9";
constexpr const char* kDefaultArch = "i386";
constexpr const char* kSavedManifestPath = "/ram/MANIFEST";
constexpr const char* kUsageLine = "usage: installer [-q] [-r <root>] [-]";

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

}  // namespace velmara
