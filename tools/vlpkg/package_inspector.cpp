#include "vlpkg/package_inspector.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "package/little_endian.h"
#include "package/package_reader.h"
#include "vlpkg/entry_syntax.h"
#include "vlpkg/package_format.h"
#include "vlpkg/package_layout.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

// Texts are shown whole up to this length; a longer one is cut, not read into memory.
constexpr uint32_t kShownTextLength = 4096;
// A container of millions of empty entries is counted, not listed.
constexpr size_t kMaxListedFiles = 100000;
constexpr size_t kReadChunk = 16384;
constexpr size_t kInflateChunk = 65536;

bool allZero(const uint8_t* bytes, size_t size) {
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

void decodeHeader(PackageReader& reader, PartReport& report) {
    uint8_t block[kHeaderWithFlagsSize] = {};
    const size_t want = std::min<size_t>(report.length, sizeof block);
    if (!reader.read(reinterpret_cast<char*>(block), std::streamsize(want))) {
        report.problem = "the part is cut short";
        return;
    }
    if (report.length < kHeaderBlockSize) report.problem = "header block shorter than 32 bytes";
    const char* name = reinterpret_cast<const char*>(block);
    report.name.assign(name, strnlen(name, kNameFieldSize));
    report.version = loadLittle32(block + kHeaderVersionOffset);
    report.buildTime = loadLittle32(block + kHeaderBuildTimeOffset);
    report.hasFlags = report.length >= kHeaderWithFlagsSize;
    if (report.hasFlags) report.flags = loadLittle32(block + kHeaderFlagsOffset);
}

void decodeText(PackageReader& reader, PartReport& report) {
    const uint32_t shown = std::min(report.length, kShownTextLength);
    report.text.assign(shown, '\0');
    if (!reader.read(report.text.data(), shown)) report.problem = "the part is cut short";
    report.textCut = shown < report.length;
}

void decodeEntries(PackageReader& reader, PartReport& report) {
    if (!readEntryPart(reader, report.entries))
        report.problem =
            report.length < kEntryCountSize ? "entry list without a count" : "entry list cut short";
}

// Walks the inflated container: entry header, name, data, over and over.
class EntryLister {
  public:
    explicit EntryLister(PartReport& report) : report_(report) {}

    void feed(const uint8_t* bytes, size_t size) {
        report_.inflatedSize += size;
        while (size > 0) {
            size_t used = 0;
            if (dataLeft_ > 0) {
                used = size_t(std::min<uint64_t>(dataLeft_, size));
                dataLeft_ -= used;
                if (link_ != nullptr) {
                    const size_t room = kShownTextLength - link_->target.size();
                    link_->target.append(reinterpret_cast<const char*>(bytes),
                                         std::min(used, room));
                }
            } else if (header_.size() < kFileEntryHeaderSize) {
                used = std::min(size, kFileEntryHeaderSize - header_.size());
                header_.append(reinterpret_cast<const char*>(bytes), used);
                if (header_.size() == kFileEntryHeaderSize) startEntry();
            } else {
                used = std::min(size, nameLength_ - entry_.name.size());
                entry_.name.append(reinterpret_cast<const char*>(bytes), used);
                if (entry_.name.size() == nameLength_) finishName();
            }
            bytes += used;
            size -= used;
        }
    }

    // An entry begun but not completed when the data ended.
    bool midEntry() const { return !header_.empty() || dataLeft_ > 0; }

  private:
    void startEntry() {
        const auto* h = reinterpret_cast<const uint8_t*>(header_.data());
        entry_ = FileEntryInfo{};
        entry_.mode = loadLittle16(h);
        entry_.variant = h[kFileEntryVariantOffset];
        entry_.size = loadLittle32(h + kFileEntrySizeOffset);
        nameLength_ = loadLittle16(h + kFileEntryNameLengthOffset);
        if (nameLength_ == 0) finishName();
    }

    void finishName() {
        ++report_.fileCount;
        link_ = nullptr;
        if (report_.files.size() < kMaxListedFiles) {
            report_.files.push_back(entry_);
            // A link's data is its target, shown as far as a text would be.
            if ((entry_.mode & kModeTypeMask) == kModeSymlink) link_ = &report_.files.back();
        }
        dataLeft_ = entry_.size;
        header_.clear();
    }

    PartReport& report_;
    std::string header_;
    FileEntryInfo entry_;
    size_t nameLength_ = 0;
    uint64_t dataLeft_ = 0;
    FileEntryInfo* link_ = nullptr;  // the listed link whose target is being read
};

void decodeFiles(PackageReader& reader, PartReport& report) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        report.problem = "cannot start decompression";
        return;
    }
    EntryLister lister(report);
    std::vector<uint8_t> input(kReadChunk), output(kInflateChunk);
    uint32_t left = report.length;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        if (stream.avail_in == 0) {
            if (left == 0) break;
            const size_t step = std::min<size_t>(left, input.size());
            reader.read(reinterpret_cast<char*>(input.data()), std::streamsize(step));
            const size_t got = size_t(reader.gcount());
            left -= uint32_t(got);
            if (got == 0) break;
            stream.next_in = input.data();
            stream.avail_in = uInt(got);
        }
        stream.next_out = output.data();
        stream.avail_out = uInt(output.size());
        result = inflate(&stream, Z_NO_FLUSH);
        lister.feed(output.data(), output.size() - stream.avail_out);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) break;
    }
    inflateEnd(&stream);
    if (result == Z_STREAM_END) {
        report.trailingBytes = stream.avail_in + left;
        if (lister.midEntry()) report.problem = "the last file entry is cut short";
    } else if (result == Z_OK || result == Z_BUF_ERROR) {
        report.problem = "the compressed data ends before its stream does";
    } else {
        report.problem = "corrupt compressed data after " + std::to_string(report.inflatedSize) +
                         " inflated bytes";
    }
    reader.clear();
}

// Which schemes a signature payload (its first 132 bytes at most) carries.
SignatureInfo signatureInfo(const std::string& payload, uint32_t length, bool sha256,
                            const Digest& digest) {
    SignatureInfo info;
    info.sha256 = sha256;
    info.digest = digest;
    info.tooShort = length < kLegacySignatureSize || payload.size() < kLegacySignatureSize;
    if (info.tooShort) return info;
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    // Bytes 0..19 are not interpreted; the check value and scalar follow.
    info.legacy = !allZero(bytes + 20, kLegacySignatureSize - 20);
    info.ed25519 = payload.size() >= kSignatureSize &&
                   !allZero(bytes + kEd25519SignatureOffset, kEd25519SignatureSize);
    return info;
}

void decodeSignature(PackageReader& reader, PartReport& report) {
    // The digest as the installer would finish it on reaching this part.
    reader.parts().finishDigest();
    std::string payload(std::min<size_t>(report.length, kSignatureSize), '\0');
    if (reader.parts().readUnhashed(payload.data(), payload.size()) != payload.size()) {
        report.problem = "the part is cut short";
        return;
    }
    report.signature = signatureInfo(payload, report.length, reader.parts().usesSha256(),
                                     reader.parts().digest());
}

void decodeBundleSignature(PackageReader& reader, PartReport& report) {
    SignatureInfo& info = report.signature;
    info.sha256 = true;
    info.digest = reader.parts().bundleDigest();
    info.tooShort = report.length != kBundleSignatureSize;
    std::string payload(std::min<size_t>(report.length, kBundleSignatureSize), '\0');
    if (reader.parts().readUnhashed(payload.data(), payload.size()) != payload.size()) {
        report.problem = "the part is cut short";
        return;
    }
    info.ed25519 = !allZero(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    if (info.tooShort) report.problem = "a bundle signature is 64 bytes long";
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string digestHex(const SignatureInfo& info) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < (info.sha256 ? 32u : 20u); ++i) {
        text.push_back(digits[info.digest[i] >> 4]);
        text.push_back(digits[info.digest[i] & 15]);
    }
    return text;
}

std::string schemesText(const PackageSummary& package) {
    if (!package.signedPart) return "unsigned";
    if (package.signature.tooShort) return "signature part too short";
    if (package.signature.ed25519 && package.signature.legacy) return "ed25519, legacy";
    if (package.signature.ed25519) return "ed25519";
    if (package.signature.legacy) return "legacy";
    return "empty signature";
}

// Texts may hold any byte; both outputs escape what is not printable ASCII.
std::string quoted(const std::string& text, bool json) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, json ? "\\u%04x" : "\\x%02x", c);
            out += escape;
        }
    }
    return out + "\"";
}

std::string modeText(uint16_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%06o", unsigned(mode));
    return text;
}

bool isLink(const FileEntryInfo& file) {
    return (file.mode & kModeTypeMask) == kModeSymlink;
}

bool isText(uint16_t type) {
    return type == kPartText2 || type == kPartArchitecture || type == kPartNote ||
           type == kPartText24;
}

bool isEntryList(uint16_t type) {
    return type == kPartDepends || type == kPartConflicts || type == kPartProvides ||
           type == kPartDisabledMembers;
}

}  // namespace

const char* partTypeName(uint16_t type) {
    switch (type) {
        case kPartHeader:
            return "header";
        case kPartText2:
            return "text2";
        case kPartDepends:
            return "depends";
        case kPartFiles:
            return "files";
        case kPartSignature:
            return "signature";
        case kPartArchitecture:
            return "architecture";
        case kPartConflicts:
            return "conflicts";
        case kPartBundleHeader:
            return "bundle-header";
        case kPartProvides:
            return "provides";
        case kPartDisabledMembers:
            return "disabled-members";
        case kPartImage:
            return "image";
        case kPartNote:
            return "note";
        case kPartText24:
            return "text24";
        case kPartSha256Marker:
            return "sha256-marker";
        case kPartBundleSignature:
            return "bundle-signature";
        default:
            return "unknown";
    }
}

bool inspectPackage(std::istream& in, Inspection& inspection, std::string& problem) {
    inspection = Inspection{};
    PackageLayout layout;
    if (!readLayout(in, layout, problem) && layout.parts.empty() && layout.declaredSize == 0)
        return false;
    inspection.fileSize = layout.fileSize;
    inspection.magic = layout.magic;
    inspection.declaredSize = layout.declaredSize;
    inspection.damage = layout.damage;
    if (!problem.empty() && inspection.damage.empty()) inspection.damage = problem;
    problem.clear();

    // What the file holds as packages, and whether it is whole, come from the one reading
    // that signing and verifying use too.
    if (inspection.damage.empty()) inspection.damage = layout.misplaced;
    if (layout.isBundle)
        inspection.packages.push_back({layout.bundleName, layout.bundleVersion, true,
                                       layout.bundleSignature != kNoPart, {}});
    for (const MemberLayout& member : layout.members) {
        PackageSummary summary{member.name, member.version, false, member.signature != kNoPart, {}};
        if (summary.signedPart)
            summary.signature = signatureInfo(member.signaturePayload,
                                              layout.parts[member.signature].length, member.sha256,
                                              member.digest);
        inspection.packages.push_back(summary);
    }

    in.clear();
    in.seekg(0);
    PackageReader reader(in, true);
    reader.wantedTypes = allPartTypes();
    for (int32_t type = reader.nextPart(); type != PartType::None; type = reader.nextPart()) {
        PartReport report;
        report.type = uint16_t(type);
        report.offset = reader.parts().partStart() - kPartHeaderSize;
        report.length = reader.partLength();
        // An empty dependency part after the signature is what the installer expects there;
        // among the header's lists, a part without even a count is damage.
        const bool emptyTrailer = reader.parts().partRole() == PartRole::Trailer;
        if (emptyTrailer) {
            // Nothing to decode.
        } else if (type == kPartHeader || type == kPartBundleHeader) {
            decodeHeader(reader, report);
        } else if (isText(report.type)) {
            decodeText(reader, report);
        } else if (isEntryList(report.type)) {
            decodeEntries(reader, report);
        } else if (type == kPartFiles) {
            decodeFiles(reader, report);
        } else if (type == kPartSignature) {
            decodeSignature(reader, report);
        } else if (type == kPartBundleSignature) {
            decodeBundleSignature(reader, report);
        }
        inspection.parts.push_back(std::move(report));
        reader.clear();
    }
    if (inspection.packages.size() == 1 && inspection.packages.front().isBundle) {
        // The installer refuses such a bundle without a message (exit status 3).
        if (!inspection.damage.empty()) inspection.damage += "; ";
        inspection.damage += "the bundle carries no member package, which the installer refuses";
    }
    return true;
}

bool isDamaged(const Inspection& inspection) {
    if (!inspection.damage.empty()) return true;
    return std::any_of(inspection.parts.begin(), inspection.parts.end(),
                       [](const PartReport& part) { return !part.problem.empty(); });
}

void printInspection(const Inspection& inspection, const std::string& fileName, std::ostream& out) {
    const char* kind = inspection.magic == kPackageMagic       ? "package"
                       : inspection.magic == kAlternativeMagic ? "alternative"
                                                               : "unknown";
    out << "file " << fileName << ": " << inspection.fileSize << " bytes, declared "
        << inspection.declaredSize << ", magic " << hex32(inspection.magic) << " (" << kind
        << ")\n";
    if (!inspection.damage.empty()) out << "damaged: " << inspection.damage << "\n";
    for (const PartReport& part : inspection.parts) {
        out << "part " << part.type << " " << partTypeName(part.type) << " at " << part.offset
            << ", " << part.length << " bytes\n";
        if (part.type == kPartHeader || part.type == kPartBundleHeader) {
            out << "  name " << quoted(part.name, false) << ", version "
                << versionText(part.version) << " (" << hex32(part.version) << ")\n";
            out << "  build time " << part.buildTime << " (" << timeText(part.buildTime) << ")\n";
            out << "  flags " << (part.hasFlags ? hex32(part.flags) : "none (no flags word)")
                << "\n";
        } else if (isText(part.type)) {
            out << "  text " << quoted(part.text, false) << (part.textCut ? " (cut)" : "") << "\n";
        } else if (isEntryList(part.type)) {
            for (const DependencyEntry& e : part.entries)
                out << "  entry " << entryText(e) << "  (min " << hex32(e.minVersion) << ", max "
                    << hex32(e.maxVersion) << ", priority " << e.priority << ")\n";
        } else if (part.type == kPartFiles) {
            for (const FileEntryInfo& f : part.files) {
                out << "  file " << modeText(f.mode) << " variant " << unsigned(f.variant)
                    << " size " << f.size << " " << quoted(f.name, false);
                if (isLink(f)) out << " -> " << quoted(f.target, false);
                out << "\n";
            }
            if (part.fileCount > part.files.size())
                out << "  ... " << part.fileCount - part.files.size() << " more entries\n";
            out << "  " << part.fileCount << " entries, " << part.inflatedSize << " bytes inflated";
            if (part.trailingBytes) out << ", " << part.trailingBytes << " bytes after the stream";
            out << "\n";
        } else if (part.type == kPartBundleSignature) {
            out << "  ed25519 " << (part.signature.ed25519 ? "present" : "absent") << "\n";
            out << "  digest sha256 " << digestHex(part.signature) << "\n";
        } else if (part.type == kPartSignature) {
            const SignatureInfo& s = part.signature;
            out << "  ed25519 " << (s.ed25519 ? "present" : "absent") << ", legacy "
                << (s.legacy ? "present" : "absent") << (s.tooShort ? ", too short" : "") << "\n";
            out << "  digest " << (s.sha256 ? "sha256 " : "sha1 ") << digestHex(s) << "\n";
        }
        if (!part.problem.empty()) out << "  damaged: " << part.problem << "\n";
    }
    for (const PackageSummary& package : inspection.packages) {
        out << (package.isBundle ? "bundle " : "package ") << package.name << "-"
            << versionText(package.version);
        if (!package.isBundle)
            out << ": " << schemesText(package);
        else
            out << ": " << (package.signedPart ? "bundle signature" : "no bundle signature");
        out << "\n";
    }
}

void printInspectionJson(const Inspection& inspection, const std::string& fileName,
                         std::ostream& out) {
    auto version = [](PackageVersion v) {
        return v == 0 ? std::string("null") : quoted(versionText(v), true);
    };
    auto schemes = [](const SignatureInfo& s) {
        std::string list = "[";
        if (s.ed25519) list += "\"ed25519\"";
        if (s.legacy) list += std::string(s.ed25519 ? "," : "") + "\"legacy\"";
        return list + "]";
    };
    out << "{\"file\":" << quoted(fileName, true) << ",\"size\":" << inspection.fileSize
        << ",\"declaredSize\":" << inspection.declaredSize << ",\"magic\":\""
        << hex32(inspection.magic) << "\",\"damage\":"
        << (inspection.damage.empty() ? "null" : quoted(inspection.damage, true)) << ",\"parts\":[";
    for (size_t i = 0; i < inspection.parts.size(); ++i) {
        const PartReport& part = inspection.parts[i];
        out << (i ? "," : "") << "{\"type\":" << part.type << ",\"kind\":\""
            << partTypeName(part.type) << "\",\"offset\":" << part.offset
            << ",\"length\":" << part.length;
        if (part.type == kPartHeader || part.type == kPartBundleHeader) {
            out << ",\"name\":" << quoted(part.name, true)
                << ",\"version\":" << version(part.version) << ",\"versionCode\":" << part.version
                << ",\"buildTime\":" << part.buildTime
                << ",\"flags\":" << (part.hasFlags ? std::to_string(part.flags) : "null");
        } else if (isText(part.type)) {
            out << ",\"text\":" << quoted(part.text, true)
                << ",\"textCut\":" << (part.textCut ? "true" : "false");
        } else if (isEntryList(part.type)) {
            out << ",\"entries\":[";
            for (size_t k = 0; k < part.entries.size(); ++k) {
                const DependencyEntry& e = part.entries[k];
                out << (k ? "," : "") << "{\"name\":" << quoted(e.name, true)
                    << ",\"minVersion\":" << version(e.minVersion)
                    << ",\"maxVersion\":" << version(e.maxVersion) << ",\"priority\":" << e.priority
                    << "}";
            }
            out << "]";
        } else if (part.type == kPartFiles) {
            out << ",\"files\":[";
            for (size_t k = 0; k < part.files.size(); ++k) {
                const FileEntryInfo& f = part.files[k];
                out << (k ? "," : "") << "{\"mode\":\"" << modeText(f.mode)
                    << "\",\"variant\":" << unsigned(f.variant) << ",\"size\":" << f.size
                    << ",\"name\":" << quoted(f.name, true)
                    << ",\"target\":" << (isLink(f) ? quoted(f.target, true) : "null") << "}";
            }
            out << "],\"fileCount\":" << part.fileCount << ",\"inflatedSize\":" << part.inflatedSize
                << ",\"trailingBytes\":" << part.trailingBytes;
        } else if (part.type == kPartSignature || part.type == kPartBundleSignature) {
            out << ",\"schemes\":" << schemes(part.signature) << ",\"digest\":\""
                << (part.signature.sha256 ? "sha256:" : "sha1:") << digestHex(part.signature)
                << "\"";
        }
        out << ",\"problem\":" << (part.problem.empty() ? "null" : quoted(part.problem, true))
            << "}";
    }
    out << "],\"packages\":[";
    for (size_t i = 0; i < inspection.packages.size(); ++i) {
        const PackageSummary& p = inspection.packages[i];
        out << (i ? "," : "") << "{\"name\":" << quoted(p.name, true)
            << ",\"version\":" << version(p.version)
            << ",\"bundle\":" << (p.isBundle ? "true" : "false");
        out << ",\"signed\":" << (p.signedPart ? "true" : "false");
        if (!p.isBundle) out << ",\"schemes\":" << schemes(p.signature);
        out << "}";
    }
    out << "]}\n";
}

}  // namespace vlpkg
