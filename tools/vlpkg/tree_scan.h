// Turns a directory tree into file container entries: regular files with their modes, and
// symbolic links carrying their targets. Directories are implied by the paths in them.
#pragma once

#include <string>
#include <vector>

#include "vlpkg/package_writer.h"

namespace vlpkg {

using namespace velmara;

// Appends one entry per file below `directory`, named by its path relative to it ("bin/tool").
// Fails on anything else (devices, sockets, pipes), which a package cannot carry.
[[nodiscard]] bool scanTree(const std::string& directory, std::vector<FileSpec>& files);

}  // namespace vlpkg
