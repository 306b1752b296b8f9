#include "frontend/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <set>

#include "frontend/listing.h"
#include "frontend/upgrade.h"
#include "install/install.h"
#include "install/stdin_install.h"
#include "package/input_file.h"
#include "pkgdb/installer.h"
#include "report/reporter.h"
#include "resolve/package_operations.h"
#include "staging/journal.h"
#include "staging/manifest.h"

namespace velmara {

namespace {

enum class Examination { Prepare, Ended };

// Examines the arguments in order; the first matching option acts. An option that takes a
// value and stands last is not that option, and so falls through to the usage line. The modes
// that end the run here leave their exit status in `status`.
Examination examineArguments(int argc, char** argv, RunOptions& options, int& status) {
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
            Installer::instance().quiet = options.quiet;
            status = runCommitMode();
            return Examination::Ended;
        } else if (argument == "--cancel") {
            Installer::instance().quiet = options.quiet;
            status = runCancelMode();
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

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Whether temporary files on flash still have a purpose: a saved set awaiting "--commit" or a
// journal the next run finishes.
bool stagedWorkPending() {
    return exists(kSavedManifestPath) || exists(stagingFiles().journal);
}

// Writes what the run recorded so far to the postlog at once, so that it is there whatever
// becomes of the rest of the run.
void logNow(Installer& installer) {
    Reporter::writePostlog(installer);
    installer.messages.clear();
}

// Before anything else, finishes what interrupted runs left: their journal is carried out to
// its end, then their temporary files are deleted, except those of a saved set that still
// awaits "--commit".
Recovery settleEarlierRuns(Installer& installer) {
    const Recovery recovery = recoverJournal();
    if (recovery != Recovery::NoJournal) logNow(installer);
    if (recovery == Recovery::Failed) return recovery;
    std::set<std::string> saved;
    Manifest pending;
    // Without knowing what a saved set holds, none of its files may go: the sweep waits.
    if (!pending.load(kSavedManifestPath)) return recovery;
    for (const auto& [target, entry] : pending) saved.insert(entry.source);
    // The copy of an interrupted standard-input run is no temporary file by name, but as
    // much a leftover.
    if (sweepTemporaries(saved)) unlink(kStdinCopySource);
    endStaging(stagedWorkPending());
    return recovery;
}

// The end of a run that may have staged files: the marker goes once nothing needs them.
int endRun(Installer& installer, int status, bool log) {
    endStaging(stagedWorkPending());
    if (log) logNow(installer);
    return status;
}

int savedSetUnreadable(Installer& installer) {
    Reporter::error(installer, "could not read %s: %s", kSavedManifestPath, std::strerror(errno));
    return endRun(installer, kCommitFailedStatus, true);
}

}  // namespace

int runCommitMode() {
    Installer& installer = Installer::instance();
    if (settleEarlierRuns(installer) == Recovery::Failed) return kCommitFailedStatus;
    Manifest manifest;
    if (!manifest.load(kSavedManifestPath)) return savedSetUnreadable(installer);
    std::cout << "finishing install... " << std::flush;
    // A refused commit keeps the saved set and its files: it can be tried again or cancelled.
    const bool done = manifest.commit(true) == Manifest::Result::Done;
    std::cout << "\b \n" << std::flush;
    return endRun(installer, done ? 0 : kCommitFailedStatus, !done);
}

int runCancelMode() {
    Installer& installer = Installer::instance();
    const Recovery recovery = settleEarlierRuns(installer);
    if (recovery == Recovery::Failed) return kCommitFailedStatus;
    Manifest manifest;
    if (!manifest.load(kSavedManifestPath)) return savedSetUnreadable(installer);
    // Loaded sources with the temporary prefix are the set's own files and go with it.
    manifest.discard();
    unlink(kSavedManifestPath);
    if (recovery == Recovery::Finished) {
        Reporter::warning(installer, "can not cancel a commit that has started; it was finished");
        return endRun(installer, kCommitFailedStatus, true);
    }
    return endRun(installer, 0, false);
}

namespace {

// The mode chosen by the arguments, after the preparation. The manifest is the run's, so that
// whatever stops the run can drop what it staged.
int runMode(Installer& installer, const RunOptions& options, Manifest& manifest) {
    installer.quiet = options.quiet;
    if (settleEarlierRuns(installer) == Recovery::Failed) return kCommitFailedStatus;
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
            return endRun(installer, failureStatus(installer), true);
        }
        const bool done = commitRun(manifest) == Manifest::Result::Done;
        return endRun(installer, done ? 0 : kCommitFailedStatus, !done);
    }
    // Both installing modes first carry out what other programs scheduled.
    applyScheduledActions(installer, manifest, 1);
    if (installer.failure != 0) {
        manifest.discard();
        Reporter::writePostlog(installer);
        return endRun(installer, options.fromStdin ? kInstallUnreadable : failureStatus(installer),
                      false);
    }
    int status = 0;
    if (options.fromStdin) {
        // Read through a file buffer, so that a failed read of standard input is told apart
        // from its end.
        InputFile input;
        input.adopt(STDIN_FILENO);
        status = installFromStdin(installer, manifest, options.installFlags, input.stream());
    } else {
        status = runUpgradeMode(installer, manifest, options.installFlags, options.commitNow);
    }
    return endRun(installer, status, false);
}

}  // namespace

int installerMain(int argc, char** argv) {
    Installer& installer = Installer::instance();
    if (const char* board = getenv("board"); board && std::strcmp(board, kSkippedBoard) == 0)
        return 0;

    Manifest manifest;
    // Nothing is meant to throw; should anything still do so (memory running out), the run
    // stops here and says so once. What it staged goes, unless its commit has started: the
    // journal then needs those files, and the next run finishes it.
    try {
        RunOptions options;
        int status = 0;
        if (examineArguments(argc, argv, options, status) == Examination::Ended) return status;
        prepareProcess(options);
        return runMode(installer, options, manifest);
    } catch (const std::exception& cause) {
        if (!exists(stagingFiles().journal)) manifest.discard();
        Reporter::error(installer, "run abandoned: %s", cause.what());
        return endRun(installer, kAbandonedStatus, true);
    }
}

}  // namespace velmara
