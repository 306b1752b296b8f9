// The rules a name must meet before the installer stores it. A package name becomes a directory
// of the database and a word in its text files; a file name becomes a path below "/flash" and a
// line of the package's file list. The packaging tool checks with the same rules, so what it
// builds is what the installer takes.
#pragma once

#include <string_view>

namespace velmara {

// The rule a package name breaks, as the end of a sentence that begins with the name ("may not
// contain white space"), or null when it can be a database entry that the loader reads back:
// not empty, not hidden (which also rules out "." and ".."), and without "/", white space or
// control characters, and not the reserved name below. Length is the format's concern: a name
// field holds 16 bytes.
const char* packageNameProblem(std::string_view name);
// The one name that meets those rules and is still no package's: "/flash/var/pdb/image" is the
// standard-input mode's copy of the package it installs.
constexpr const char* kReservedPackageName = "image";
[[nodiscard]] inline bool isPackageName(std::string_view name) {
    return packageNameProblem(name) == nullptr;
}

// The rule a file container name breaks, or null when it is safe. A name may be written with or
// without a leading "/"; after that it must be a relative path of plain components: no empty,
// "." or ".." component (which could reach outside "/flash" or name a directory) and no control
// character (a newline would split the database's list of the package's files).
const char* entryNameProblem(std::string_view name);
[[nodiscard]] inline bool isSafeEntryName(std::string_view name) {
    return entryNameProblem(name) == nullptr;
}

}  // namespace velmara
