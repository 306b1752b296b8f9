// Reading the installer's small text files (database entries, schedule files, markers) so that
// a file that is not there is told apart from one that could not be read: the first follows
// the rules for a missing file, the second stops the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmara {

enum class ReadResult { Read, Absent, Unreadable };

// Which file could not be read, and the errno that said so.
struct ReadFailure {
    std::string path;
    int error = 0;
};

// Absent: open failed with ENOENT or ENOTDIR, there is no such file.
[[nodiscard]] bool isAbsentError(int error);

// Reads the whole file, or its first `limit` bytes, through read(2). A directory reads as an
// empty file, as a stream on it always did. Unreadable: any other failure to open or read,
// recorded in `failure`.
[[nodiscard]] ReadResult readTextFile(const std::string& path, std::string& contents,
                                      ReadFailure& failure, size_t limit = SIZE_MAX);

}  // namespace velmara
