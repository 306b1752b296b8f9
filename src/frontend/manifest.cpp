#include "frontend/manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

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

// Deletes a file, or a directory's plain entries and then the directory. Hidden entries and
// subdirectories are left, so such a directory stays; failures are of no consequence here.
void removeTarget(const std::string& target) {
    if (unlink(target.c_str()) == 0 || errno != EISDIR) return;
    if (DIR* dir = opendir(target.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
            unlink((target + "/" + entry->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(target.c_str());
}

bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }

}  // namespace

void Manifest::record(const std::string& target, uint32_t kind, const std::string& source) {
    auto found = entries_.find(target);
    if (found == entries_.end()) {
        entries_.emplace(target, ManifestEntry{kind, source});
        return;
    }
    // The replaced temporary file would otherwise stay behind unreferenced.
    if (found->second.kind == MoveTemporary) unlink(found->second.source.c_str());
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
        if (entry.kind == MoveTemporary) unlink(entry.source.c_str());
    }
    entries_.clear();
}

void Manifest::commit(bool progress) {
    for (const auto& [target, entry] : entries_) {
        if (entry.kind == Remove) {
            removeTarget(target);
        } else if (entry.kind == Link) {
            makeDirectories(parentDirectory(target));
            unlink(target.c_str());
            if (symlink(entry.source.c_str(), target.c_str()) != 0) perror("symlink");
        }
    }
    // Staged files were written without syncing. Their data must be on stable storage before
    // any of them appears under its real name, or a power cut could leave installed files
    // that hold nothing.
    sync();
    for (const auto& [target, entry] : entries_) {
        if (entry.kind != Move && entry.kind != MoveTemporary) continue;
        makeDirectories(parentDirectory(target));
        if (rename(entry.source.c_str(), target.c_str()) == 0) continue;
        if (errno != EXDEV) {
            perror("rename");
        } else if (copyFile(entry.source, target, progress) == CopyResult::Failed) {
            perror("copy");
        }
    }
    sync();
}

bool Manifest::save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& [target, entry] : entries_) {
        const char* prefix = savedPrefix(entry.kind);
        if (!prefix) continue;
        out << prefix << escapeSavedPath(target);
        if (entry.kind != Remove) out << ' ' << escapeSavedPath(entry.source);
        out << '\n';
    }
    out.close();
    return !out.fail();
}

void Manifest::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
        if (line.empty()) return;
        // Escaped paths hold no spaces, so the fields are the text between single spaces.
        std::vector<std::string> fields;
        size_t start = 0;
        while (fields.size() < 3) {
            const size_t space = fields.size() < 2 ? line.find(' ', start) : std::string::npos;
            fields.push_back(line.substr(start, space - start));
            if (space == std::string::npos) break;
            start = space + 1;
        }
        if (fields.size() < 2) return;
        const std::string& kind = fields[0];
        if (kind == "U") {
            record(unescapeSavedPath(fields[1]), Remove, "");
        } else if (kind == "L" || kind == "M") {
            if (fields.size() < 3) return;
            record(unescapeSavedPath(fields[1]), kind == "L" ? Link : Move,
                   unescapeSavedPath(fields[2]));
        }
    }
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

namespace {

// Writes the whole block, retrying interrupted writes; false on any shortfall.
bool writeBlock(int fd, const char* data, ssize_t length) {
    ssize_t written;
    do {
        written = write(fd, data, static_cast<size_t>(length));
    } while (written < 0 && errno == EINTR);
    return written == length;
}

}  // namespace

CopyResult copyFile(const std::string& source, const std::string& target, bool progress) {
    struct stat info;
    if (stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return CopyResult::Skipped;

    // The copy goes to a file beside the target and replaces it only when complete, so an
    // interrupted copy never leaves a truncated file where the old one was.
    std::string partial = target + ".XXXXXX";
    const int out = mkstemp(partial.data());
    if (out < 0) return CopyResult::Failed;
    const int in = open(source.c_str(), O_RDONLY);
    bool complete = in >= 0 && fchmod(out, info.st_mode & kPermissionBits) == 0;

    char block[kCopyBlock];
    while (complete) {
        ssize_t got;
        do {
            got = read(in, block, sizeof block);
        } while (got < 0 && errno == EINTR);
        if (got == 0) break;
        if (got < 0 || !writeBlock(out, block, got)) {
            complete = false;
            break;
        }
        if (progress) commitSpinner().step(std::cout, clockTicks());
    }
    if (in >= 0) close(in);
    complete = complete && fsync(out) == 0;
    complete = close(out) == 0 && complete;
    if (complete && rename(partial.c_str(), target.c_str()) == 0) return CopyResult::Copied;
    const int cause = errno;
    unlink(partial.c_str());
    errno = cause;
    return CopyResult::Failed;
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
