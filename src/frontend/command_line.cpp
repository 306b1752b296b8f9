#include "frontend/command_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

#include "frontend/listing.h"
#include "frontend/manifest.h"
#include "frontend/stdin_install.h"
#include "frontend/upgrade.h"
#include "package/input_file.h"
#include "package/install.h"
#include "report/installer.h"
#include "report/reporter.h"
#include "resolve/package_operations.h"

namespace {

enum class Examination { Prepare, Ended };

// Examines the arguments in order; the first matching option acts. An option that takes a
// value and stands last is not that option, and so falls through to the usage line.
Examination examineArguments(int argc, char** argv, RunOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--cleanup") {
            options.cleanup = true;
            return Examination::Prepare;
        } else if (argument == "--safe") {
            options.commitNow = false;
        } else if (argument == "-r" && hasValue) {
            options.root = argv[++i];
        } else if (argument == "-") {
            options.fromStdin = true;
            return Examination::Prepare;
        } else if (argument == "-q") {
            options.quiet = true;
        } else if (argument == "-down") {
            options.installFlags |= allowDowngrade;
        } else if (argument == "--reinstall") {
            std::cout << "\nResuming upgrade...\n" << std::flush;
            options.installFlags |= allowReinstall;
        } else if (argument == "-b" || argument == "--force" || argument == "--noupgrade" ||
                   argument == "-i") {
            // Accepted for the callers that still pass them; they change nothing.
        } else if (argument == "--month" && hasValue) {
            ++i;
        } else if (argument == "--commit") {
            runCommitMode();
            return Examination::Ended;
        } else if (argument == "--cancel") {
            runCancelMode();
            return Examination::Ended;
        } else if (argument == "--show") {
            options.show = true;
        } else {
            std::cout << kUsageLine << '\n' << std::flush;
            return Examination::Ended;
        }
    }
    return Examination::Prepare;
}

void prepareProcess(RunOptions& options) {
    if (!options.root.empty() && chroot(options.root.c_str()) != 0) perror("chroot");
    (void)!chdir("/");
    if (const char* arch = getenv("arch")) options.arch = arch;
}

}  // namespace

void runCommitMode() {
    Manifest manifest;
    manifest.load(kSavedManifestPath);
    std::cout << "finishing install... " << std::flush;
    manifest.commit(true);
    std::cout << "\b \n" << std::flush;
}

void runCancelMode() {
    Manifest manifest;
    manifest.load(kSavedManifestPath);
    // Loaded entries are plain moves, so this deletes no staged file; it only forgets them.
    manifest.discard();
    unlink(kSavedManifestPath);
}

namespace {

// The mode chosen by the arguments, after the preparation. The manifest is the run's, so that
// whatever stops the run can drop what it staged.
int runMode(Installer& installer, const RunOptions& options, Manifest& manifest) {
    if (!installer.loadDatabase(options.quiet, options.arch)) return kIoFailureStatus;

    // The listing wins over a later "--cleanup" or "-", which do not stop at "--show".
    if (options.show) {
        showPackages(installer);
        return 0;
    }
    if (options.cleanup) {
        cleanupPackages(installer, manifest);
        if (installer.failure != 0) {
            manifest.discard();
            return failureStatus(installer);
        }
        manifest.commit(false);
        return 0;
    }
    // Both installing modes first carry out what other programs scheduled.
    applyScheduledActions(installer, manifest, 1);
    if (installer.failure != 0) {
        manifest.discard();
        Reporter::writePostlog(installer);
        return options.fromStdin ? kInstallUnreadable : failureStatus(installer);
    }
    if (options.fromStdin) {
        // Read through a file buffer, so that a failed read of standard input is told apart
        // from its end.
        InputFile input;
        input.adopt(STDIN_FILENO);
        return installFromStdin(installer, manifest, options.installFlags, input.stream());
    }
    return runUpgradeMode(installer, manifest, options.installFlags, options.commitNow);
}

}  // namespace

int installerMain(int argc, char** argv) {
    Installer& installer = Installer::instance();
    if (const char* board = getenv("board"); board && std::strcmp(board, kSkippedBoard) == 0)
        return 0;

    Manifest manifest;
    // Nothing is meant to throw; should anything still do so (memory running out), the run
    // stops here, says so once, and carries out nothing it staged.
    try {
        RunOptions options;
        if (examineArguments(argc, argv, options) == Examination::Ended) return 0;
        prepareProcess(options);
        return runMode(installer, options, manifest);
    } catch (const std::exception& cause) {
        manifest.discard();
        Reporter::error(installer, "run abandoned: %s", cause.what());
        return kAbandonedStatus;
    }
}
