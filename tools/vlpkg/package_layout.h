// The tool's one reading of a package file, made through the installer's own package reader
// with hashing on: where the parts lie, where each stands in the order the installer allows, how
// they group into the packages a file carries (one, or the members of a bundle), and each
// package's digest and signature as the installer would check them. Signing, verifying and
// inspecting all start from it, so they cannot disagree; signing rewrites files part by part
// from it, copying every byte it does not mean to change.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <limits>
#include <string>
#include <vector>

#include "package/package_reader.h"
#include "package/part_sequence.h"
#include "record/package_record.h"
#include "vlpkg/byte_sink.h"

namespace vlpkg {

using namespace velmara;

struct PartInfo {
    uint16_t type = 0;
    uint64_t offset = 0;  // of the 6-byte part header
    uint32_t length = 0;  // of the payload
    PartRole role = PartRole::Misplaced;
    uint64_t end() const;
};

using Digest = std::array<uint8_t, kDigestBufferSize>;

constexpr size_t kNoPart = std::numeric_limits<size_t>::max();

// One package (a single package file, or a bundle member): indexes into PackageLayout::parts.
struct MemberLayout {
    size_t first = 0;            // its first part: a marker before the header, or the header
    size_t header = 0;           // its header part (type 1)
    size_t signature = kNoPart;  // its signature part, if it has one
    // Where a signature belongs: at the existing one, else after the file container (or the
    // image), else at the end of the package's parts.
    size_t signatureAt = 0;
    size_t end = 0;  // one past its last part
    bool hasMarker = false;
    std::string name;
    PackageVersion version = 0;
    // As finished at the signature part: the message its signature signs.
    Digest digest{};
    bool sha256 = false;
    std::string signaturePayload;  // its first 132 bytes at most
};

struct PackageLayout {
    uint32_t magic = 0;
    uint64_t declaredSize = 0;
    uint64_t fileSize = 0;
    bool isBundle = false;
    std::vector<PartInfo> parts;
    size_t bundleHeader = kNoPart;
    std::string bundleName;
    PackageVersion bundleVersion = 0;
    std::vector<MemberLayout> members;
    size_t bundleSignature = kNoPart;
    Digest bundleDigest{};           // valid when bundleSignature is set
    std::string bundleSignaturePayload;  // its first 65 bytes at most
    // Set when the parts do not fill the file exactly; the map still holds the whole parts.
    std::string damage;
    // Set when a part stands where the installer allows none: it refuses the file.
    std::string misplaced;
};

// Reads the map of a package file. False, with the reason in `problem`, when the stream is not a
// package file at all (no outer header, unknown magic, no header part). A file that is cut short
// or has stray bytes still gives its map and reports that in `damage`.
[[nodiscard]] bool readLayout(std::istream& in, PackageLayout& layout, std::string& problem);

// Copies raw bytes of the input: whole parts, for instance.
[[nodiscard]] bool copyRange(std::istream& in, uint64_t offset, uint64_t length, ByteSink& out);
[[nodiscard]] bool copyParts(std::istream& in, const PackageLayout& layout, size_t first,
                             size_t end, ByteSink& out);

// Every part type code, for a reader that must stop at every part.
const std::vector<uint32_t>& allPartTypes();

}  // namespace vlpkg
