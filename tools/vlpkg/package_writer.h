// Produces package files and bundles from a description in memory. File data and images may be
// streamed from host files, and the file container is deflated as it is written, so memory
// does not grow with the package. The output depends only on the description: entries are
// sorted by name and no clock is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/package_record.h"
#include "vlpkg/byte_sink.h"
#include "vlpkg/package_format.h"

namespace vlpkg {

using namespace velmara;

// Bytes given in memory, or a host file read while writing.
struct Content {
    std::string bytes;
    std::string hostPath;  // when set, the file's contents replace `bytes`
};

struct FileSpec {
    std::string name;  // path below the flash root; a leading "/" is allowed
    uint16_t mode = kModeRegular | 0644;
    uint8_t variant = 0;  // 0: every board
    Content content;      // a symbolic link carries its target
};

// Fields shared by the header block of a package and of a bundle, and the texts behind it.
struct HeaderSpec {
    std::string name;  // at most 16 bytes
    PackageVersion version = 0;
    uint32_t buildTime = 0;
    std::optional<uint32_t> flags;  // absent: a 32-byte header block without the flags word
    // Each text is written as its part only when it is not empty.
    std::string text24;
    std::string architecture;
    std::string text2;
    std::string note;
};

struct PackageSpec : HeaderSpec {
    std::vector<DependencyEntry> depends;  // each list is written only when not empty
    std::vector<DependencyEntry> provides;
    std::vector<DependencyEntry> conflicts;
    std::optional<Content> image;  // an image part, possibly empty
    bool withFiles = true;         // a file container even without entries
    std::vector<FileSpec> files;   // written sorted by name, then variant
    bool alternativeMagic = false;
    bool sha256Marker = false;  // a marker part before the header selects the SHA-256 digest
    int compressionLevel = 6;
};

struct BundleSpec : HeaderSpec {
    // The database keeps a bundle only through its image, so a bundle has one unless told not.
    std::optional<Content> image = Content{};
    std::vector<DependencyEntry> disabledMembers;  // written as its part when not empty
    std::vector<PackageSpec> members;
};

// Write one whole package file, outer header included.
[[nodiscard]] bool writePackage(ByteSink& sink, const PackageSpec& description);
// Write a bundle whose members are built from their descriptions.
[[nodiscard]] bool writeBundle(ByteSink& sink, const BundleSpec& description);

// The pieces, for writers that assemble packages from other sources (bundles of package
// files, signing). Offsets are positions in the sink.
[[nodiscard]] bool beginOuterHeader(ByteSink& sink, uint32_t magic, uint64_t& start);
[[nodiscard]] bool finishOuterHeader(ByteSink& sink, uint64_t start);
[[nodiscard]] bool writePart(ByteSink& sink, uint16_t type, const void* payload, size_t size);
[[nodiscard]] bool beginPart(ByteSink& sink, uint16_t type, uint64_t& start);
[[nodiscard]] bool finishPart(ByteSink& sink, uint64_t start);
// The header block part and the texts that follow it; lists are left to the caller.
[[nodiscard]] bool writeHeaderParts(ByteSink& sink, uint16_t type, const HeaderSpec& description);
[[nodiscard]] bool writeEntryListPart(ByteSink& sink, uint16_t type,
                                      const std::vector<DependencyEntry>& entries);
[[nodiscard]] bool writeContentPart(ByteSink& sink, uint16_t type, const Content& content);
// The bundle header part, its texts, its image and its list of members installed disabled;
// the members follow.
[[nodiscard]] bool writeBundleHead(ByteSink& sink, const BundleSpec& description);
// The parts of one package from its marker (or header) to its file container, without the
// outer header: what a bundle carries per member.
[[nodiscard]] bool writePackageParts(ByteSink& sink, const PackageSpec& description);

// Encodings of single format blocks, exposed so tests can hold them against the format.
std::string encodeHeaderBlock(const HeaderSpec& description);
std::string encodeEntryList(const std::vector<DependencyEntry>& entries);
std::string encodeFileEntryHeader(const FileSpec& file, uint32_t size);

}  // namespace vlpkg
