// Unpacking a package's file container: the zlib-compressed sequence of file entries is
// inflated while the package streams by, and every regular file meant for this board is
// written to a temporary file that replaces its target under "/flash" when the run commits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "package/package_reader.h"
#include "platform/board_variant.h"
#include "record/names.h"
#include "record/package_record.h"
#include "staging/manifest.h"

namespace velmara {

// Entry header in the inflated container, followed by the name and then the file's bytes.
constexpr size_t kFileEntryHeaderSize = 30;
constexpr size_t kFileEntryModeOffset = 0;         // u16, POSIX type and permission bits
constexpr size_t kFileEntryVariantOffset = 23;     // u8, 0: every board
constexpr size_t kFileEntrySizeOffset = 24;        // u32, bytes of data
constexpr size_t kFileEntryNameLengthOffset = 28;  // u16

constexpr uint16_t kFileTypeMask = 0xF000;
constexpr uint16_t kFileTypeRegular = 0x8000;
constexpr uint8_t kEveryBoard = 0;

// A package installed disabled keeps its files below "/flash/x/<name>".
constexpr const char* kDisabledFilesPrefix = "/x/";

// The path an entry is installed at: "/flash" + the name, or for a disabled package
// "/flash/x/" + the package name + the name.
[[nodiscard]] std::string extractTarget(const InstalledPackage& record, std::string_view name);

// The installer's own paths below "/flash": no package file may be one of them, lie below one
// that is a tree, or stand where a directory that leads to one must be. The installer's files
// are added to the table in extract.cpp as they come.
struct ReservedPath {
    const char* path;
    bool tree;  // everything below it belongs to the installer too
};
[[nodiscard]] bool isReservedPath(std::string_view target);

// Stages every regular file of the container at the reader's current part (type 4) that is
// meant for `variant`, recording each target in the record's files. True when the container
// was read to its end; false after a failure already reported (a broken container, a file
// that could not be written, or one that may not be staged). What was staged before a failure
// stays staged.
//
// A target is refused as broken when it is reserved, is a directory (on flash, or because the
// run staged files below it), or lies below a file (on flash and not being removed, or staged).
// The package is refused for lack of room as soon as its files would exceed what the target's
// file system has free plus what they replace there, or what the run's removals give back
// there: whether staged on flash or in RAM, a package never writes more than flash can keep.
[[nodiscard]] bool extractFiles(InstalledPackage& record, Manifest& manifest, PackageReader& reader,
                                BoardVariant variant);
// The same for this board's variant.
[[nodiscard]] bool extractFiles(InstalledPackage& record, Manifest& manifest,
                                PackageReader& reader);

}  // namespace velmara
