#include "vlpkg/package_writer.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <tuple>

#include "package/little_endian.h"
#include "vlpkg/container_writer.h"
#include "vlpkg/content_source.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

// A name that would not read back as itself is refused rather than silently cut.
bool checkName(const std::string& name, const char* what) {
    if (name.size() > kNameFieldSize)
        return fail("%s name \"%s\" is longer than %zu bytes", what, name.c_str(), kNameFieldSize);
    if (name.find('\0') != std::string::npos) return fail("%s name contains a NUL byte", what);
    return true;
}

void putName(uint8_t* field, const std::string& name) {
    std::memcpy(field, name.data(), std::min(name.size(), kNameFieldSize));
}

bool writeTextPart(ByteSink& sink, uint16_t type, const std::string& text) {
    if (text.empty()) return true;
    return writePart(sink, type, text.data(), text.size());
}

bool writeListIfAny(ByteSink& sink, uint16_t type, const std::vector<DependencyEntry>& entries) {
    return entries.empty() || writeEntryListPart(sink, type, entries);
}

bool writeFileContainer(ByteSink& sink, const PackageSpec& description) {
    // Sort an index rather than the descriptions, which may hold file data.
    std::vector<size_t> order(description.files.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto key = [&](size_t i) { return std::tie(description.files[i].name, description.files[i].variant); };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
    for (size_t i = 1; i < order.size(); ++i) {
        // Two entries for one path on the same boards: the installer would keep either.
        if (key(order[i - 1]) == key(order[i]))
            return fail("file %s is given twice for variant %u", description.files[order[i]].name.c_str(),
                        unsigned(description.files[order[i]].variant));
    }
    ContainerWriter container(sink, description.compressionLevel);
    if (!container.begin()) return false;
    for (size_t i : order) {
        if (!container.add(description.files[i])) return false;
    }
    return container.finish();
}

}  // namespace

std::string encodeHeaderBlock(const HeaderSpec& description) {
    std::string block(description.flags ? kHeaderWithFlagsSize : kHeaderBlockSize, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(block.data());
    putName(bytes, description.name);
    storeLittle32(bytes + kHeaderVersionOffset, description.version);
    storeLittle32(bytes + kHeaderBuildTimeOffset, description.buildTime);
    if (description.flags) storeLittle32(bytes + kHeaderFlagsOffset, *description.flags);
    return block;
}

std::string encodeEntryList(const std::vector<DependencyEntry>& entries) {
    std::string list(kEntryCountSize + entries.size() * kEntrySize, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(list.data());
    storeLittle16(bytes, uint16_t(entries.size()));
    uint8_t* entry = bytes + kEntryCountSize;
    for (const DependencyEntry& e : entries) {
        putName(entry, e.name);
        storeLittle32(entry + kEntryMinVersionOffset, e.minVersion);
        storeLittle32(entry + kEntryMaxVersionOffset, e.maxVersion);
        storeLittle32(entry + kEntryPriorityOffset, uint32_t(e.priority));
        entry += kEntrySize;
    }
    return list;
}

std::string encodeFileEntryHeader(const FileSpec& file, uint32_t size) {
    std::string header(kFileEntryHeaderSize, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(header.data());
    storeLittle16(bytes, file.mode);
    bytes[kFileEntryVariantOffset] = file.variant;
    storeLittle32(bytes + kFileEntrySizeOffset, size);
    storeLittle16(bytes + kFileEntryNameLengthOffset, uint16_t(file.name.size()));
    return header;
}

bool beginOuterHeader(ByteSink& sink, uint32_t magic, uint64_t& start) {
    start = sink.position();
    uint8_t header[kOuterHeaderSize] = {};
    storeLittle32(header, magic);
    return sink.write(header, sizeof header);
}

bool finishOuterHeader(ByteSink& sink, uint64_t start) {
    const uint64_t length = sink.position() - start - kOuterHeaderSize;
    if (length > kMaxLength) return fail("the package is too large (4 GiB at most)");
    uint8_t field[4];
    storeLittle32(field, uint32_t(length));
    return sink.patch(start + 4, field, sizeof field);
}

bool beginPart(ByteSink& sink, uint16_t type, uint64_t& start) {
    start = sink.position();
    uint8_t header[kPartHeaderSize] = {};
    storeLittle16(header, type);
    return sink.write(header, sizeof header);
}

bool finishPart(ByteSink& sink, uint64_t start) {
    const uint64_t length = sink.position() - start - kPartHeaderSize;
    if (length > kMaxLength) return fail("a part of the package is too large (4 GiB at most)");
    uint8_t field[4];
    storeLittle32(field, uint32_t(length));
    return sink.patch(start + 2, field, sizeof field);
}

bool writePart(ByteSink& sink, uint16_t type, const void* payload, size_t size) {
    if (size > kMaxLength) return fail("a part of the package is too large (4 GiB at most)");
    uint8_t header[kPartHeaderSize];
    storeLittle16(header, type);
    storeLittle32(header + 2, uint32_t(size));
    return sink.write(header, sizeof header) && sink.write(payload, size);
}

bool writeHeaderParts(ByteSink& sink, uint16_t type, const HeaderSpec& description) {
    if (!checkName(description.name, "package")) return false;
    const std::string block = encodeHeaderBlock(description);
    // The reader takes these in exactly this order; any other order loses them.
    return writePart(sink, type, block.data(), block.size()) &&
           writeTextPart(sink, kPartText24, description.text24) &&
           writeTextPart(sink, kPartArchitecture, description.architecture) &&
           writeTextPart(sink, kPartText2, description.text2) && writeTextPart(sink, kPartNote, description.note);
}

bool writeEntryListPart(ByteSink& sink, uint16_t type,
                        const std::vector<DependencyEntry>& entries) {
    if (entries.size() > kMaxEntries) return fail("more than %zu entries in one list", kMaxEntries);
    for (const DependencyEntry& e : entries) {
        if (!checkName(e.name, "entry")) return false;
    }
    const std::string list = encodeEntryList(entries);
    return writePart(sink, type, list.data(), list.size());
}

bool writeContentPart(ByteSink& sink, uint16_t type, const Content& content) {
    ContentSource source;
    uint64_t start;
    if (!source.open(content) || !beginPart(sink, type, start)) return false;
    if (!source.forEachChunk([&](const void* d, size_t n) { return sink.write(d, n); }))
        return false;
    return finishPart(sink, start);
}

bool writePackageParts(ByteSink& sink, const PackageSpec& description) {
    if (description.sha256Marker && !writePart(sink, kPartSha256Marker, nullptr, 0)) return false;
    if (!writeHeaderParts(sink, kPartHeader, description)) return false;
    if (!writeListIfAny(sink, kPartDepends, description.depends) ||
        !writeListIfAny(sink, kPartProvides, description.provides) ||
        !writeListIfAny(sink, kPartConflicts, description.conflicts))
        return false;
    if (description.image && !writeContentPart(sink, kPartImage, *description.image)) return false;
    if (description.withFiles || !description.files.empty()) return writeFileContainer(sink, description);
    return true;
}

bool writePackage(ByteSink& sink, const PackageSpec& description) {
    uint64_t start;
    return beginOuterHeader(sink, description.alternativeMagic ? kAlternativeMagic : kPackageMagic,
                            start) &&
           writePackageParts(sink, description) && finishOuterHeader(sink, start);
}

bool writeBundleHead(ByteSink& sink, const BundleSpec& description) {
    if (!writeHeaderParts(sink, kPartBundleHeader, description)) return false;
    if (description.image && !writeContentPart(sink, kPartImage, *description.image)) return false;
    return writeListIfAny(sink, kPartDisabledMembers, description.disabledMembers);
}

bool writeBundle(ByteSink& sink, const BundleSpec& description) {
    uint64_t start;
    if (!beginOuterHeader(sink, kPackageMagic, start) || !writeBundleHead(sink, description)) return false;
    for (const PackageSpec& member : description.members) {
        if (member.name == description.name)
            return fail("bundle %s cannot carry a member of its own name", description.name.c_str());
        if (!writePackageParts(sink, member)) return false;
    }
    return finishOuterHeader(sink, start);
}

}  // namespace vlpkg
