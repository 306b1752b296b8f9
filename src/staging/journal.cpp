#include "staging/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "report/reporter.h"
#include "staging/manifest.h"

namespace velmara {

namespace {

constexpr const char* kHeader = "installer journal 1";
constexpr const char* kEnd = "end";
constexpr size_t kReadBlock = 16384;

// Said before every failure once the journal is in place: the next run finishes the work.
constexpr const char* kUnfinished = "commit not finished: ";

bool isKind(char c) {
    return c == JournalStep::Remove || c == JournalStep::RemoveDirectory ||
           c == JournalStep::Rename || c == JournalStep::Discard;
}

// The whole file; 0, or the errno of the failure.
int readFile(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char block[kReadBlock];
    int cause = 0;
    for (;;) {
        const ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) cause = errno;
        if (got <= 0) break;
        text.append(block, size_t(got));
    }
    close(fd);
    return cause;
}

// Creates the directory and its missing parents; false with errno set.
bool makeParents(const std::string& directory) {
    if (mkdir(directory.c_str(), 0777) == 0) return true;
    if (errno == EEXIST) {
        struct stat info;
        if (stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const std::string parent = parentDirectory(directory);
    if (errno != ENOENT || parent == directory) return false;
    if (!makeParents(parent)) return false;
    return mkdir(directory.c_str(), 0777) == 0 || errno == EEXIST;
}

bool failed(const char* what, const std::string& path, int cause) {
    Reporter::error(Reporter::runContext(), "%scould not %s %s: %s", kUnfinished, what,
                    path.c_str(), std::strerror(cause));
    return false;
}

enum class StepResult { Done, Lost, Failed };

StepResult carryOut(const JournalStep& step) {
    const char* path = step.path.c_str();
    switch (step.kind) {
        case JournalStep::Remove:
        case JournalStep::Discard:
            // A directory here was made by a later step of this journal: the file is gone.
            if (unlink(path) == 0 || errno == ENOENT || errno == EISDIR || errno == ENOTDIR)
                return StepResult::Done;
            failed("remove", step.path, errno);
            return StepResult::Failed;
        case JournalStep::RemoveDirectory:
            // Hidden entries keep a directory, as they always have.
            if (rmdir(path) == 0 || errno == ENOENT || errno == ENOTEMPTY || errno == EEXIST ||
                errno == ENOTDIR)
                return StepResult::Done;
            failed("remove", step.path, errno);
            return StepResult::Failed;
        case JournalStep::Rename: {
            // The usual case costs one call; what stood in its way is looked into only when it
            // failed.
            if (rename(step.source.c_str(), path) == 0) return StepResult::Done;
            const int cause = errno;
            struct stat info;
            if (lstat(step.source.c_str(), &info) != 0) {
                if (errno != ENOENT) {
                    failed("read", step.source, errno);
                    return StepResult::Failed;
                }
                // Renamed before the run was cut short; with neither there, the file is lost
                // and retrying cannot bring it back.
                if (lstat(path, &info) == 0) return StepResult::Done;
                Reporter::error(Reporter::runContext(), "%s%s is lost: %s was gone", kUnfinished,
                                path, step.source.c_str());
                return StepResult::Lost;
            }
            // A directory of the target is missing: the first file renamed into it makes it.
            if (cause != ENOENT && cause != ENOTDIR) {
                failed("replace", step.path, cause);
                return StepResult::Failed;
            }
            if (!makeParents(parentDirectory(step.path))) {
                failed("create", parentDirectory(step.path), errno);
                return StepResult::Failed;
            }
            if (rename(step.source.c_str(), path) == 0) return StepResult::Done;
            failed("replace", step.path, errno);
            return StepResult::Failed;
        }
    }
    return StepResult::Done;
}

}  // namespace

namespace {

// The journal's text, handed to `out` piece by piece.
template <typename Out>
void writeJournalText(const Journal& journal, Out& out) {
    out << kHeader << "\n";
    for (const JournalStep& step : journal) {
        const char kind[] = {char(step.kind), ' '};
        out << std::string_view(kind, 2) << escapeSavedPath(step.path);
        if (step.kind == JournalStep::Rename) out << " " << escapeSavedPath(step.source);
        out << "\n";
    }
    out << kEnd << "\n";
}

struct TextOut {
    std::string text;
    TextOut& operator<<(std::string_view piece) {
        text += piece;
        return *this;
    }
};

}  // namespace

std::string journalText(const Journal& journal) {
    TextOut out;
    writeJournalText(journal, out);
    return out.text;
}

bool parseJournal(const std::string& text, Journal& journal) {
    journal.clear();
    size_t start = 0;
    bool header = false;
    while (start < text.size()) {
        const size_t newline = text.find('\n', start);
        if (newline == std::string::npos) return false;
        const std::string line = text.substr(start, newline - start);
        start = newline + 1;
        if (!header) {
            if (line != kHeader) return false;
            header = true;
            continue;
        }
        // Anything after the end line means the file is not what was written.
        if (line == kEnd) return start == text.size();
        if (line.size() < 3 || !isKind(line[0]) || line[1] != ' ') return false;
        const auto kind = JournalStep::Kind(line[0]);
        const size_t space = line.find(' ', 2);
        if ((kind == JournalStep::Rename) != (space != std::string::npos)) return false;
        JournalStep step{kind, unescapeSavedPath(line.substr(2, space - 2)), ""};
        if (space != std::string::npos) step.source = unescapeSavedPath(line.substr(space + 1));
        if (step.path.empty() || (kind == JournalStep::Rename && step.source.empty())) return false;
        journal.push_back(std::move(step));
    }
    return false;
}

JournalPlaced placeJournal(const Journal& journal) {
    const std::string& path = stagingFiles().journal;
    const std::string directory = parentDirectory(path);
    std::string temporary;
    const int fd = makeTemporary(directory, temporary);
    bool written = false;
    if (fd >= 0) {
        BlockWriter text(fd);
        writeJournalText(journal, text);
        written = text.finish() && (!durableWrites() || fsync(fd) == 0);
    }
    int cause = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        cause = errno;
    }
    if (!written) {
        if (fd >= 0) removeTemporary(temporary);
        Reporter::error(Reporter::runContext(), "nothing committed: could not write %s: %s",
                        path.c_str(), std::strerror(cause));
        return JournalPlaced::No;
    }
    if (!syncDirectory(directory)) {
        failed("sync", directory, errno);
        return JournalPlaced::NotDurable;
    }
    return JournalPlaced::Yes;
}

bool finishJournal(const Journal& journal) {
    bool complete = true;
    for (const JournalStep& step : journal) {
        const StepResult result = carryOut(step);
        if (result == StepResult::Failed) return false;
        complete = complete && result == StepResult::Done;
    }
    // Counted once all is done: a directory a later step removed counts by its parent.
    SyncSet changed;
    for (const JournalStep& step : journal) {
        if (step.kind == JournalStep::Discard) continue;
        changed.add(step.path);
        if (step.kind == JournalStep::Rename) changed.add(step.source);
    }
    if (!changed.sync(kUnfinished)) return false;
    const std::string& path = stagingFiles().journal;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return failed("remove", path, errno);
    const std::string directory = parentDirectory(path);
    if (!syncDirectory(directory)) return failed("sync", directory, errno);
    return complete;
}

Recovery recoverJournal() {
    const std::string& path = stagingFiles().journal;
    std::string text;
    const int cause = readFile(path, text);
    if (cause == ENOENT) return Recovery::NoJournal;
    ReportContext& installer = Reporter::runContext();
    Journal journal;
    if (cause != 0) {
        Reporter::error(installer, "%scould not read %s: %s", kUnfinished, path.c_str(),
                        std::strerror(cause));
        return Recovery::Failed;
    }
    if (!parseJournal(text, journal)) {
        Reporter::error(installer, "%s%s is damaged", kUnfinished, path.c_str());
        return Recovery::Failed;
    }
    if (!finishJournal(journal)) return Recovery::Failed;
    Reporter::info(installer, "finished an interrupted commit");
    return Recovery::Finished;
}

}  // namespace velmara
