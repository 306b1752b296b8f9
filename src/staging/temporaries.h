// The files that stand for a run's pending work: temporary files under a name of their own, the
// marker that says such files may lie on flash, and the syncing that makes them durable.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace velmara {

// Every temporary file the installer makes begins with this name, so that what an interrupted
// run left behind can be told from everything else.
constexpr const char* kTemporaryPrefix = ".installer-tmp-";
// Present while temporary files of a run, or of a saved set awaiting "--commit", may lie on
// flash: only then does a run look for leftovers, so a clean flash is never walked.
constexpr const char* kStagingMarkerPath = "/flash/.installer-staged";
// The journal of a commit in progress (see journal.h).
constexpr const char* kJournalPath = "/flash/.installer-journal";

// Where the marker and the journal are kept: fixed on the router; tests that stage outside a
// router root point them into their own directory.
struct StagingFiles {
    std::string marker = kStagingMarkerPath;
    std::string journal = kJournalPath;
};
StagingFiles& stagingFiles();

// Whether the path's last component carries the temporary prefix.
bool isTemporaryName(const std::string& path);

// Creates a new, empty temporary file in `directory` and returns its open descriptor, with its
// path in `path`; -1 with errno set when none can be made (nothing is left behind then). The
// file has the permission bits and set-ID and sticky bits of `mode` from the start, whatever the
// umask. The staging marker is made durable first.
int makeTemporary(const std::string& directory, std::string& path, unsigned mode = 0600);

// Creates a symbolic link with `contents` under a new temporary name in `directory`; false with
// errno set.
[[nodiscard]] bool makeTemporaryLink(const std::string& directory, const std::string& contents,
                                     std::string& path);

// Makes sure the staging marker exists and is durable before the run's first temporary file.
// False, with errno set, when it cannot be made.
[[nodiscard]] bool markStaging();

// Deletes a temporary file; one that cannot be deleted keeps the marker, so a later run finds it.
void removeTemporary(const std::string& path);

// Deletes the temporary files that interrupted runs left: every one below "/flash" and those
// directly in "/ram" and "/tmp", except the paths in `keep`. Walks flash only when the marker
// is there; true when it was.
bool sweepTemporaries(const std::set<std::string>& keep);

// At the end of a run whose temporary files are all committed or deleted: removes the marker
// unless `pending` (a saved set or a journal still refers to temporary files) or a temporary
// file could not be deleted.
void endStaging(bool pending);

// Syncing can be turned off only by a benchmark's own entry point, to measure what it costs.
void setDurableWrites(bool durable);
bool durableWrites();

// The file systems that hold a set of paths, synced once each at the end. A path counts by the
// directory that holds its name (its nearest existing ancestor when that is gone), examined once
// for all the paths in it.
class SyncSet {
  public:
    void add(const std::string& path);
    // syncfs of each file system; false at the first failure, reported after `context`.
    [[nodiscard]] bool sync(const char* context) const;

  private:
    std::map<dev_t, std::string> directories_;
    std::set<std::string> seen_;  // the directories already counted
};

// fsync of a directory, so that the names created or removed in it are durable. False with
// errno set.
[[nodiscard]] bool syncDirectory(const std::string& directory);

// Writes the whole block, going on after short writes and interruptions; false with errno set
// (ENOSPC for a write that takes nothing).
[[nodiscard]] bool writeFully(int fd, const char* data, size_t length);

// Text written to a file in blocks as it is made, so that a list of thousands of files never
// stands whole in memory beside the entries it is made from.
class BlockWriter {
  public:
    explicit BlockWriter(int fd);
    BlockWriter& operator<<(std::string_view text);
    // Writes what is left; false with errno set when any write failed.
    [[nodiscard]] bool finish();

  private:
    static constexpr size_t kBlock = 65536;
    void write(std::string_view text);

    int fd_;
    std::string pending_;
    int error_ = 0;
};

// The nearest ancestor of `path` that is a directory ("/" at the latest).
std::string nearestExistingDirectory(const std::string& path);

// Whether a directory entry of type `type` (as readdir gives it) at `path` is a directory; an
// unknown type is looked up without following links.
bool isDirectoryEntry(const std::string& path, unsigned char type);

}  // namespace velmara
