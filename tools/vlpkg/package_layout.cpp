#include "vlpkg/package_layout.h"

#include <cstdio>
#include <cstring>

#include "package/little_endian.h"
#include "package/package_reader.h"
#include "vlpkg/package_format.h"

namespace vlpkg {

using namespace velmara;
namespace {

constexpr size_t kCopyChunk = 64 * 1024;
// Real packages have a few dozen parts; a file of nothing but empty parts is refused before
// its map grows with it.
constexpr size_t kMaxParts = 0x10000;

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// Groups the parts into the packages the file carries.
void findMembers(PackageLayout& layout) {
    const std::vector<PartInfo>& parts = layout.parts;
    size_t previousEnd = layout.isBundle ? layout.bundleHeader + 1 : 0;
    std::vector<size_t> headers;
    for (size_t i = 0; i < parts.size(); ++i)
        if (parts[i].type == kPartHeader) headers.push_back(i);
    for (size_t k = 0; k < headers.size(); ++k) {
        MemberLayout member;
        member.header = headers[k];
        member.first = member.header;
        // Markers right before a header belong to that package; the first package of a file
        // that is no bundle owns every part before its header.
        while (member.first > previousEnd && parts[member.first - 1].type == kPartSha256Marker)
            --member.first;
        if (!layout.isBundle && k == 0) member.first = 0;
        for (size_t i = member.first; i < member.header; ++i)
            if (parts[i].type == kPartSha256Marker) member.hasMarker = true;
        member.end = parts.size();
        if (k + 1 < headers.size()) {
            member.end = headers[k + 1];
            while (member.end > member.header + 1 &&
                   parts[member.end - 1].type == kPartSha256Marker)
                --member.end;
        }
        member.signatureAt = member.end;
        size_t lastContent = kNoPart;
        for (size_t i = member.header + 1; i < member.end; ++i) {
            if (parts[i].type == kPartSignature) {
                member.signature = i;
                break;
            }
            if (parts[i].type == kPartFiles || parts[i].type == kPartImage) lastContent = i;
        }
        if (member.signature != kNoPart)
            member.signatureAt = member.signature;
        else if (lastContent != kNoPart)
            member.signatureAt = lastContent + 1;
        // A bundle's signature and closing architecture part follow its last member.
        if (layout.isBundle && k + 1 == headers.size()) {
            const size_t from =
                member.signature != kNoPart ? member.signature + 1 : member.signatureAt;
            for (size_t i = from; i < member.end; ++i) {
                if (parts[i].type == kPartBundleSignature || parts[i].type == kPartArchitecture) {
                    member.end = i;
                    break;
                }
            }
        }
        previousEnd = member.end;
        layout.members.push_back(member);
    }
}

// Reads a little of the current payload, unhashed when `unhashed` (a signature).
std::string readPayload(PackageReader& reader, size_t most, bool unhashed) {
    std::string bytes(std::min<size_t>(most, reader.partLength()), '\0');
    size_t got = 0;
    if (unhashed) {
        got = reader.parts().readUnhashed(bytes.data(), bytes.size());
    } else {
        reader.read(bytes.data(), std::streamsize(bytes.size()));
        got = size_t(reader.gcount());
    }
    bytes.resize(got);
    return bytes;
}

}  // namespace

uint64_t PartInfo::end() const {
    return offset + kPartHeaderSize + length;
}

const std::vector<uint32_t>& allPartTypes() {
    static const std::vector<uint32_t> types = [] {
        std::vector<uint32_t> all(0x10000);
        for (uint32_t i = 0; i < all.size(); ++i) all[i] = i;
        return all;
    }();
    return types;
}

bool readLayout(std::istream& in, PackageLayout& layout, std::string& problem) {
    layout = PackageLayout{};
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || !in) {
        problem = "cannot be read";
        return false;
    }
    layout.fileSize = uint64_t(size);
    // What the installer would check, signature by signature.
    std::vector<std::pair<size_t, std::pair<Digest, bool>>> digests;
    std::vector<std::string> payloads;
    {
        PackageReader reader(in, true);
        layout.magic = reader.magic();
        if (reader.magic() == kUnreadableMagic) {
            problem = "is shorter than a package's outer header";
            return false;
        }
        if (!reader) {
            problem = "is not a package file (magic " + hex32(reader.magic()) + ")";
            return false;
        }
        layout.declaredSize = reader.declaredSize();
        reader.wantedTypes = allPartTypes();
        for (int32_t type = reader.nextPart(); type != PartType::None; type = reader.nextPart()) {
            PartInfo part;
            part.type = uint16_t(type);
            part.offset = reader.parts().partStart() - kPartHeaderSize;
            part.length = reader.partLength();
            part.role = reader.parts().partRole();
            layout.parts.push_back(part);
            if (part.end() > layout.fileSize) break;
            if (layout.parts.size() > kMaxParts) {
                problem = "has more than " + std::to_string(kMaxParts) + " parts";
                return false;
            }
            const size_t index = layout.parts.size() - 1;
            // A misplaced part breaks the order for good; the digests are still the reader's.
            if (part.type == kPartSignature) {
                digests.push_back({index, {reader.parts().digest(), reader.parts().usesSha256()}});
                payloads.push_back(readPayload(reader, kSignatureSize, true));
            } else if (part.role == PartRole::BundleSignature) {
                layout.bundleSignature = index;
                layout.bundleDigest = reader.parts().bundleDigest();
                layout.bundleSignaturePayload = readPayload(reader, kBundleSignatureSize + 1, true);
            }
            reader.clear();
        }
        layout.misplaced = reader.sequence().problem();
    }
    in.clear();

    const uint64_t reached = layout.parts.empty() ? kOuterHeaderSize : layout.parts.back().end();
    if (reached > layout.fileSize) {
        layout.damage = "the file ends inside its last part (" + std::to_string(reached) +
                        " bytes needed, " + std::to_string(layout.fileSize) + " present)";
        layout.parts.pop_back();
    } else if (reached < layout.fileSize) {
        layout.damage =
            std::to_string(layout.fileSize - reached) + " stray bytes after the last part";
    } else if (layout.declaredSize != layout.fileSize) {
        layout.damage = "the outer header declares " + std::to_string(layout.declaredSize) +
                        " bytes, the file has " + std::to_string(layout.fileSize);
    }

    for (size_t i = 0; i < layout.parts.size() && layout.bundleHeader == kNoPart; ++i) {
        if (layout.parts[i].type == kPartHeader) break;
        if (layout.parts[i].type == kPartBundleHeader) layout.bundleHeader = i;
    }
    layout.isBundle = layout.bundleHeader != kNoPart;
    findMembers(layout);
    if (layout.members.empty() && !layout.isBundle) {
        problem = "has no header part";
        return false;
    }

    for (MemberLayout& member : layout.members) {
        for (size_t k = 0; k < digests.size(); ++k) {
            if (digests[k].first != member.signature) continue;
            member.digest = digests[k].second.first;
            member.sha256 = digests[k].second.second;
            member.signaturePayload = payloads[k];
        }
    }
    if (layout.bundleSignature >= layout.parts.size()) layout.bundleSignature = kNoPart;

    // Names and versions, for messages and for checks on bundle members.
    const auto readName = [&](size_t index, std::string& name, PackageVersion& version) {
        const PartInfo& header = layout.parts[index];
        uint8_t block[kHeaderBlockSize] = {};
        in.seekg(std::streamoff(header.offset + kPartHeaderSize));
        in.read(reinterpret_cast<char*>(block), std::min<uint32_t>(header.length, sizeof block));
        const char* text = reinterpret_cast<const char*>(block);
        name.assign(text, strnlen(text, kNameFieldSize));
        version = loadLittle32(block + kHeaderVersionOffset);
        in.clear();
    };
    for (MemberLayout& member : layout.members) readName(member.header, member.name, member.version);
    if (layout.isBundle) readName(layout.bundleHeader, layout.bundleName, layout.bundleVersion);
    return true;
}

bool copyRange(std::istream& in, uint64_t offset, uint64_t length, ByteSink& out) {
    in.clear();
    in.seekg(std::streamoff(offset));
    char chunk[kCopyChunk];
    while (length > 0) {
        const size_t step = size_t(std::min<uint64_t>(length, sizeof chunk));
        if (!in.read(chunk, std::streamsize(step))) return false;
        if (!out.write(chunk, step)) return false;
        length -= step;
    }
    return true;
}

bool copyParts(std::istream& in, const PackageLayout& layout, size_t first, size_t end,
               ByteSink& out) {
    if (first >= end) return true;
    const uint64_t start = layout.parts[first].offset;
    return copyRange(in, start, layout.parts[end - 1].end() - start, out);
}

}  // namespace vlpkg
