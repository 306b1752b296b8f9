// Writing through the manifest: a file's new contents go to a temporary file that replaces it
// when the run commits, and removals and directories are claimed the same way.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "staging/manifest.h"

namespace velmara {

// Staged files go to RAM unless the target's filesystem keeps this much room beside them.
constexpr uint64_t kReplacementMargin = 65536;
constexpr const char* kRamDirectory = "/ram";
constexpr const char* kFallbackTemporaryDirectory = "/tmp";

// The free room of one file system as examined once, and what was staged on it since.
struct StagingRoom {
    uint64_t free = 0;  // bytes the installer may use
    uint64_t blockSize = 1;
    uint64_t placed = 0;  // staged there since, in whole blocks
};
// Examines the file system that holds `directory` (nothing staged on it yet); false with errno
// set.
[[nodiscard]] bool examineRoom(const std::string& directory, StagingRoom& room);
// Where the replacement of a target is staged whose nearest existing ancestor directory is
// `directory`, on `room`'s file system: there, when that file system keeps room for its `size`
// bytes plus the margin beside what was staged on it before (counted as placed then); else RAM.
std::string stagingDirectory(const std::string& directory, StagingRoom& room, uint64_t size);

// The directory in which a replacement for `target` is staged, by the rule above: the target's
// filesystem (its nearest existing ancestor directory) when it has room for the hint plus the
// margin, else RAM. A hint of 0 means the size is unknown: RAM, or "/tmp" on a system without
// "/ram".
std::string replacementDirectory(const std::string& target, uint64_t sizeHint);

// Creates a temporary file in `directory` that replaces `target` when the manifest is committed
// (a pending operation on the target is replaced, and its temporary file deleted), with the mode
// bits of `mode`. Its descriptor, open for writing; -1 with errno set when no file
// could be made, and nothing is staged then.
[[nodiscard]] int createReplacement(Manifest& manifest, const std::string& target,
                                    const std::string& directory, unsigned mode);

// Opens `out` on a new temporary file that replaces `target` when the manifest is committed
// (a pending operation on the target is replaced, and its temporary file deleted). `mode` 0
// leaves the temporary file's permissions as created. False when no temporary file could be
// made: the stream is then left failed and nothing is staged, so writes to it show the failure.
[[nodiscard]] bool openReplacement(std::ofstream& out, Manifest& manifest,
                                   const std::string& target, uint64_t sizeHint, unsigned mode);

// Stages a small file holding `text`; false (errno set) when it could not be written whole.
[[nodiscard]] bool stageFile(Manifest& manifest, const std::string& path, uint64_t sizeHint,
                             const std::string& text);

// Stages the removal of an existing path. For a path that does not exist, a pending operation
// on it is dropped (with its temporary file), since there is then nothing to replace.
void scheduleRemoval(Manifest& manifest, const std::string& path);

// True when the path may be used as a directory after the commit: a pending removal of it is
// cancelled; any other pending operation on it, or an existing non-directory, refuses it.
[[nodiscard]] bool claimDirectory(Manifest& manifest, const std::string& path);


}  // namespace velmara
