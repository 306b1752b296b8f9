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

// The directory in which a replacement for `target` is staged: the target's own filesystem
// (its nearest existing ancestor directory) when it has room for the hint plus the margin, else
// RAM. A hint of 0 means the size is unknown: RAM, or "/tmp" on a system without "/ram".
std::string replacementDirectory(const std::string& target, uint64_t sizeHint);

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
