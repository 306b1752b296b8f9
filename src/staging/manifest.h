// The pending file operations of one run: every write is staged in a temporary file and every
// deletion only noted, until the run commits, saves or discards them all at once.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

namespace velmara {

enum ManifestKind : uint32_t {
    Move = 0,
    MoveTemporary = 1,  // as Move; the source is this run's temporary file and is deleted with it
    Link = 3,
    Remove = 4,
};

struct ManifestEntry {
    uint32_t kind = Move;
    std::string source;  // moves: the file that becomes the target; links: the link contents
};

class Manifest {
public:
    // Ordered by target path compared byte by byte.
    using Entries = std::map<std::string, ManifestEntry>;
    using iterator = Entries::iterator;
    using const_iterator = Entries::const_iterator;

    Manifest() = default;
    Manifest(const Manifest&) = delete;
    Manifest& operator=(const Manifest&) = delete;

    // One operation per target: a later one replaces the earlier (and its temporary file).
    void record(const std::string& target, uint32_t kind, const std::string& source);
    void addMove(const std::string& source, const std::string& target);
    void addLink(const std::string& contents, const std::string& linkPath);

    iterator find(const std::string& target) { return entries_.find(target); }
    const_iterator find(const std::string& target) const { return entries_.find(target); }
    // The first entry whose target is not before `target`: the paths below a directory follow
    // it, so that its staged contents are found without a walk.
    const_iterator lowerBound(const std::string& target) const {
        return entries_.lower_bound(target);
    }
    iterator erase(iterator position) { return entries_.erase(position); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }

    // Deletes the temporary sources, then forgets every entry.
    void discard();
    // Carries out every entry, all or nothing across a power cut: whatever the commit places is
    // first put on the target's file system under a temporary name and synced; only then are
    // the renames and removals written to the journal and carried out. Entries stay.
    enum class Result {
        Done,        // every operation carried out and durable
        Refused,     // nothing changed (reported); the staged files are the caller's to discard
        Unfinished,  // reported; the journal stays on flash and the next run finishes it
    };
    [[nodiscard]] Result commit(bool progress);
    // Writes the entries as text lines through a temporary file, so that the file is whole or
    // absent; false when it could not be written.
    [[nodiscard]] bool save(const std::string& path) const;
    // Records the entries of a saved file, as many as can be read. Sources with the temporary
    // prefix are this set's own files again; the saved file itself is deleted by the commit.
    // False (errno set) when the file is there but could not be read: a missing file is an
    // empty set, an unreadable one is not.
    [[nodiscard]] bool load(const std::string& path);

  private:
    Entries entries_;
    std::string origin_;  // the saved file the entries were loaded from
};

// Directory part of a path, ignoring trailing "/": "/a/b/" gives "/a", "name" and "/" give ".".
std::string parentDirectory(const std::string& path);
// Creates the directory and its missing parents; failures show up in the later file operation.
void makeDirectories(const std::string& path);
// Copies a regular file's contents and permission bits to a new temporary file in `directory`,
// whose path is left in `temporary`. False with errno set; nothing is left behind then.
[[nodiscard]] bool copyToTemporary(const std::string& source, const std::string& directory,
                                   bool progress, std::string& temporary);
// The kernel's clock tick count (offset by 30000), pacing the commit spinner.
uint32_t clockTicks();

// The "|/-\" spinner drawn after "finishing install... " while files are copied.
struct Spinner {
    static constexpr uint32_t kTicksPerStep = 20;
    uint32_t lastDraw = 0;  // 0 until first drawn
    int index = 0;
    void step(std::ostream& out, uint32_t now);
};
// The process-wide spinner: its position carries over from one copied file to the next.
Spinner& commitSpinner();

// The saved form separates fields by spaces, so these characters are written in octal escapes.
std::string escapeSavedPath(const std::string& path);
std::string unescapeSavedPath(const std::string& text);

}  // namespace velmara
