#include "staging/manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <iostream>
#include <unordered_map>
#include <vector>

#include "report/reporter.h"
#include "staging/journal.h"
#include "staging/temporaries.h"

namespace velmara {

namespace {

constexpr size_t kCopyBlock = 16384;
constexpr mode_t kPermissionBits = 07777;  // keeps set-user-ID, set-group-ID and sticky
constexpr uint32_t kTickOffset = 30000;

const char* savedPrefix(uint32_t kind) {
    switch (kind) {
        case Remove:
            return "U ";
        case Link:
            return "L ";
        case Move:
        case MoveTemporary:
            return "M ";
        default:
            return nullptr;
    }
}

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

}  // namespace

void Manifest::record(const std::string& target, uint32_t kind, const std::string& source) {
    auto found = entries_.find(target);
    if (found == entries_.end()) {
        entries_.emplace(target, ManifestEntry{kind, source});
        return;
    }
    // The replaced temporary file would otherwise stay behind unreferenced.
    if (found->second.kind == MoveTemporary) removeTemporary(found->second.source);
    found->second.kind = kind;
    found->second.source = source;
}

void Manifest::addMove(const std::string& source, const std::string& target) {
    record(target, Move, source);
}

void Manifest::addLink(const std::string& contents, const std::string& linkPath) {
    record(linkPath, Link, contents);
}

void Manifest::discard() {
    for (const auto& [target, entry] : entries_) {
        if (entry.kind == MoveTemporary) removeTemporary(entry.source);
    }
    entries_.clear();
}

namespace {

constexpr const char* kNothingCommitted = "nothing committed: ";

bool refused(const std::string& text) {
    Reporter::error(Reporter::runContext(), "%s%s", kNothingCommitted, text.c_str());
    return false;
}

bool refused(const std::string& what, const std::string& path, int cause) {
    return refused("could not " + what + " " + path + ": " + std::strerror(cause));
}

// Where files for the targets in one directory are put on their file system: the directory's
// nearest existing ancestor, which the rename then extends, and its device.
struct Place {
    std::string directory;
    dev_t device = 0;
};

// What the commit will do, prepared so that nothing on flash has changed yet.
struct CommitPlan {
    // The journal as it is planned: the removals, then the renames, in one list so that a
    // commit of thousands of files does not hold its steps twice while it joins them.
    Journal steps;
    Journal discards;
    std::vector<std::string> made;  // temporary files of this commit, deleted if it is refused
    SyncSet staged;                 // what must be durable before the journal is
    // Each directory of the targets, examined once; nothing the plan does changes them.
    std::unordered_map<std::string, Place> places;
};

// A file deleted, or a directory's plain entries and then the directory: hidden entries and
// subdirectories stay, and so does the directory then. An entry this commit places anew is
// left out, so that carrying the journal out again cannot remove the new file.
bool placedByCommit(const Manifest& manifest, const std::string& path) {
    const auto found = manifest.find(path);
    return found != manifest.end() && found->second.kind != Remove;
}

bool planRemoval(const Manifest& manifest, std::string target, CommitPlan& plan) {
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    struct stat info;
    if (lstat(target.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        return refused("examine", target, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        plan.steps.push_back({JournalStep::Remove, target, ""});
        return true;
    }
    DIR* dir = opendir(target.c_str());
    if (!dir) return refused("read", target, errno);
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = target + "/" + name;
        if (!name.empty() && name[0] != '.' && !isDirectoryEntry(path, entry->d_type) &&
            !placedByCommit(manifest, path))
            plan.steps.push_back({JournalStep::Remove, path, ""});
        errno = 0;
    }
    const int cause = errno;
    closedir(dir);
    if (cause != 0) return refused("read", target, cause);
    plan.steps.push_back({JournalStep::RemoveDirectory, target, ""});
    return true;
}

// Where a file for `target` is put on the target's file system. Refused when the target is a
// directory, or when a file stands where a directory is needed and this commit does not remove
// it.
const Place* placeFor(const Manifest& manifest, const std::string& target, CommitPlan& plan) {
    const std::string parent = parentDirectory(target);
    const auto known = plan.places.find(parent);
    // Nothing lies in a directory that does not exist yet.
    const bool parentMissing = known != plan.places.end() && known->second.directory != parent;
    struct stat info;
    if (!parentMissing && lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        refused("replace", target, EISDIR);
        return nullptr;
    }
    if (known != plan.places.end()) return &known->second;
    std::string directory = parent;
    for (;;) {
        if (stat(directory.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) break;
            const auto found = manifest.find(directory);
            if (found == manifest.end() || found->second.kind != Remove) {
                refused("create", parent, ENOTDIR);
                return nullptr;
            }
        } else if (errno != ENOENT) {
            refused("examine", directory, errno);
            return nullptr;
        }
        if (directory == "/" || directory == ".") {
            refused("examine", directory, errno);
            return nullptr;
        }
        directory = parentDirectory(directory);
    }
    return &plan.places.emplace(parent, Place{directory, info.st_dev}).first->second;
}

bool planMove(const Manifest& manifest, const std::string& target, const ManifestEntry& entry,
              bool progress, CommitPlan& plan) {
    struct stat from;
    if (lstat(entry.source.c_str(), &from) != 0) return refused("read", entry.source, errno);
    const Place* place = placeFor(manifest, target, plan);
    if (!place) return false;
    if (place->device == from.st_dev) {
        plan.steps.push_back({JournalStep::Rename, target, entry.source});
        plan.staged.add(entry.source);
        return true;
    }
    // Only regular files are copied between file systems; anything else stays where it is.
    if (!S_ISREG(from.st_mode)) return true;
    std::string temporary;
    if (!copyToTemporary(entry.source, place->directory, progress, temporary))
        return refused("copy " + entry.source + " to", place->directory, errno);
    plan.made.push_back(temporary);
    plan.staged.add(temporary);
    plan.steps.push_back({JournalStep::Rename, target, temporary});
    if (entry.kind == MoveTemporary)
        plan.discards.push_back({JournalStep::Discard, entry.source, ""});
    return true;
}

// A link is made under a temporary name beside its target and renamed over it.
bool planLink(const Manifest& manifest, const std::string& target, const ManifestEntry& entry,
              CommitPlan& plan) {
    const Place* place = placeFor(manifest, target, plan);
    if (!place) return false;
    std::string temporary;
    if (!makeTemporaryLink(place->directory, entry.source, temporary))
        return refused("create a link in", place->directory, errno);
    plan.made.push_back(temporary);
    plan.staged.add(temporary);
    plan.steps.push_back({JournalStep::Rename, target, temporary});
    return true;
}

}  // namespace

Manifest::Result Manifest::commit(bool progress) {
    CommitPlan plan;
    // A saved set goes first: once anything changes, it cannot be committed a second time.
    if (!origin_.empty()) plan.steps.push_back({JournalStep::Discard, origin_, ""});
    const size_t first = plan.steps.size();
    plan.steps.reserve(first + entries_.size());
    bool ready = true;
    for (const auto& [target, entry] : entries_) {
        if (entry.kind == Remove) ready = ready && planRemoval(*this, target, plan);
    }
    for (const auto& [target, entry] : entries_) {
        if (!ready) break;
        if (entry.kind == Move || entry.kind == MoveTemporary)
            ready = planMove(*this, target, entry, progress, plan);
        else if (entry.kind == Link)
            ready = planLink(*this, target, entry, plan);
    }
    ready = ready && plan.staged.sync(kNothingCommitted);
    if (!ready) {
        for (const std::string& temporary : plan.made) removeTemporary(temporary);
        return Result::Refused;
    }

    Journal& journal = plan.steps;
    if (journal.size() == first) {
        for (const JournalStep& step : journal) removeTemporary(step.path);
        for (const JournalStep& step : plan.discards) removeTemporary(step.path);
        return Result::Done;
    }
    journal.insert(journal.end(), std::make_move_iterator(plan.discards.begin()),
                   std::make_move_iterator(plan.discards.end()));
    switch (placeJournal(journal)) {
        case JournalPlaced::No:
            for (const std::string& temporary : plan.made) removeTemporary(temporary);
            return Result::Refused;
        case JournalPlaced::NotDurable:
            return Result::Unfinished;
        case JournalPlaced::Yes:
            break;
    }
    return finishJournal(journal) ? Result::Done : Result::Unfinished;
}

bool Manifest::save(const std::string& path) const {
    std::string temporary;
    const int fd = makeTemporary(parentDirectory(path), temporary);
    if (fd < 0) return false;
    BlockWriter text(fd);
    for (const auto& [target, entry] : entries_) {
        const char* prefix = savedPrefix(entry.kind);
        if (!prefix) continue;
        text << prefix << escapeSavedPath(target);
        if (entry.kind != Remove) text << " " << escapeSavedPath(entry.source);
        text << "\n";
    }
    bool written = text.finish() && (!durableWrites() || fsync(fd) == 0);
    written = close(fd) == 0 && written;
    written = written && rename(temporary.c_str(), path.c_str()) == 0;
    const int cause = errno;
    if (!written) removeTemporary(temporary);
    errno = cause;
    return written;
}

bool Manifest::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return errno == ENOENT;
    origin_ = path;
    std::string line;
    while (in && std::getline(in, line)) {
        if (line.empty()) break;
        // Escaped paths hold no spaces, so the fields are the text between single spaces.
        std::vector<std::string> fields;
        size_t start = 0;
        while (fields.size() < 3) {
            const size_t space = fields.size() < 2 ? line.find(' ', start) : std::string::npos;
            fields.push_back(line.substr(start, space - start));
            if (space == std::string::npos) break;
            start = space + 1;
        }
        if (fields.size() < 2) break;
        const std::string& kind = fields[0];
        if (kind == "U") {
            record(unescapeSavedPath(fields[1]), Remove, "");
        } else if (kind == "L" || kind == "M") {
            if (fields.size() < 3) break;
            const std::string source = unescapeSavedPath(fields[2]);
            const uint32_t loaded = kind == "L"               ? Link
                                    : isTemporaryName(source) ? MoveTemporary
                                                              : Move;
            record(unescapeSavedPath(fields[1]), loaded, source);
        }
    }
    // A read error ends the lines as the end of the file would; it must not look like one.
    if (in.bad()) {
        errno = EIO;
        return false;
    }
    return true;
}

std::string escapeSavedPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
            out += octal;
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescapeSavedPath(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isOctalDigit(text[i + 1]) &&
            isOctalDigit(text[i + 2]) && isOctalDigit(text[i + 3])) {
            out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string parentDirectory(const std::string& path) {
    std::string copy = path;
    while (!copy.empty() && copy.back() == '/') copy.pop_back();
    // dirname may modify its argument, so it gets a buffer of its own.
    std::vector<char> buffer(copy.begin(), copy.end());
    buffer.push_back('\0');
    return dirname(buffer.data());
}

void makeDirectories(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return;
    const std::string parent = parentDirectory(path);
    if (parent == path) return;
    makeDirectories(parent);
    mkdir(path.c_str(), 0777);
}

bool copyToTemporary(const std::string& source, const std::string& directory, bool progress,
                     std::string& temporary) {
    const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat info;
    int out = -1;
    bool complete = fstat(in, &info) == 0 &&
                    (out = makeTemporary(directory, temporary, info.st_mode & kPermissionBits)) >= 0;
    char block[kCopyBlock];
    while (complete) {
        ssize_t got;
        do {
            got = read(in, block, sizeof block);
        } while (got < 0 && errno == EINTR);
        if (got == 0) break;
        complete = got > 0 && writeFully(out, block, size_t(got));
        if (complete && progress) commitSpinner().step(std::cout, clockTicks());
    }
    int cause = errno;
    close(in);
    if (out >= 0 && close(out) != 0 && complete) {
        complete = false;
        cause = errno;
    }
    if (!complete && out >= 0) removeTemporary(temporary);
    errno = cause;
    return complete;
}

uint32_t clockTicks() {
    // times() by number with a null buffer: only the return value, the tick count, is wanted.
    const long ticks = syscall(SYS_times, nullptr);
    if (ticks == -1) return static_cast<uint32_t>(kTickOffset - errno);
    return static_cast<uint32_t>(ticks) + kTickOffset;
}

void Spinner::step(std::ostream& out, uint32_t now) {
    static constexpr char kShapes[] = {'|', '/', '-', '\\'};
    if (lastDraw == 0) {
        lastDraw = now;
        out << kShapes[index];
        ++index;
        out.flush();
        return;
    }
    if (now - lastDraw <= kTicksPerStep) return;
    // Advance by one step, not to now, so after a stall the spinner catches up block by block.
    lastDraw += kTicksPerStep;
    out << '\b' << kShapes[index];
    ++index;
    out.flush();
    if (index == 4) index = 0;
}

Spinner& commitSpinner() {
    static Spinner spinner;
    return spinner;
}

}  // namespace velmara
