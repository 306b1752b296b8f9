#include "vlpkg/package_signer.h"

#include <array>
#include <cstring>
#include <vector>

#include "package/package_reader.h"
#include "vlpkg/package_format.h"
#include "vlpkg/package_layout.h"
#include "vlpkg/package_writer.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {
namespace {

using LegacyHalf = std::array<uint8_t, kLegacySignatureSize>;

// The older-scheme half of the existing signature, when the new signature covers the very
// same bytes: the marker was there already and the part keeps its length of 132.
bool keptLegacyHalf(std::istream& in, const PackageLayout& layout, const MemberLayout& member,
                    LegacyHalf& half) {
    half.fill(0);
    if (!member.hasMarker || member.signature == kNoPart) return true;
    const PartInfo& part = layout.parts[member.signature];
    if (part.length != kSignatureSize) return true;
    in.clear();
    in.seekg(std::streamoff(part.offset + kPartHeaderSize));
    return bool(in.read(reinterpret_cast<char*>(half.data()), half.size()));
}

// The file with every package given a marker and a signature part whose Ed25519 half is
// still zero. Returns the output offsets of those halves, in file order.
bool writeUnsignedCopy(std::istream& in, const PackageLayout& layout, ByteSink& out,
                       std::vector<uint64_t>& signatureOffsets) {
    uint64_t start;
    if (!beginOuterHeader(out, layout.magic, start)) return false;
    if (!copyParts(in, layout, 0, layout.members.front().first, out)) return false;
    for (size_t k = 0; k < layout.members.size(); ++k) {
        const MemberLayout& member = layout.members[k];
        LegacyHalf legacy;
        if (!keptLegacyHalf(in, layout, member, legacy)) return false;
        // The marker goes right before the header, after anything else the package begins with.
        if (!copyParts(in, layout, member.first, member.header, out)) return false;
        if (!member.hasMarker && !writePart(out, kPartSha256Marker, nullptr, 0)) return false;
        if (!copyParts(in, layout, member.header, member.signatureAt, out)) return false;

        std::array<uint8_t, kSignatureSize> payload{};
        std::memcpy(payload.data(), legacy.data(), legacy.size());
        signatureOffsets.push_back(out.position() + kPartHeaderSize + kEd25519SignatureOffset);
        if (!writePart(out, kPartSignature, payload.data(), payload.size())) return false;

        const size_t rest = member.signature == kNoPart ? member.signatureAt : member.signature + 1;
        if (!copyParts(in, layout, rest, member.end, out)) return false;
        const size_t next =
            k + 1 < layout.members.size() ? layout.members[k + 1].first : layout.parts.size();
        if (!copyParts(in, layout, member.end, next, out)) return false;
    }
    return finishOuterHeader(out, start);
}

// Reads the output back as the installer would and signs each package's digest in place.
bool signDigests(ByteSink& out, const std::vector<uint64_t>& signatureOffsets, evp_pkey_st* key) {
    std::unique_ptr<std::istream> written = out.readBack();
    if (!written) return fail("cannot read back the signed output");
    PackageReader reader(*written, true);
    reader.wantedTypes = {uint32_t(PartType::Signature)};
    size_t next = 0;
    while (reader.nextPart() == PartType::Signature) {
        const uint64_t at = uint64_t(reader.parts().partStart()) + kEd25519SignatureOffset;
        // A signature part copied from elsewhere in the file is not one of ours.
        if (next >= signatureOffsets.size() || signatureOffsets[next] != at) continue;
        reader.parts().finishDigest();
        if (!reader.parts().usesSha256()) return fail("the package digest is not SHA-256");
        Ed25519Signature signature;
        if (!signMessage(key, reader.parts().digest().data(), kSha256Size, signature)) return false;
        if (!out.patch(at, signature.data(), signature.size())) return false;
        ++next;
    }
    if (next != signatureOffsets.size())
        return fail("the signed output does not read back as written");
    return true;
}

}  // namespace

bool signPackageFile(std::istream& in, const std::string& inName, ByteSink& out, evp_pkey_st* key) {
    PackageLayout layout;
    std::string problem;
    if (!readLayout(in, layout, problem)) return fail("%s %s", inName.c_str(), problem.c_str());
    if (!layout.damage.empty())
        return fail("%s is damaged: %s", inName.c_str(), layout.damage.c_str());
    if (layout.members.empty()) return fail("%s carries no package to sign", inName.c_str());
    std::vector<uint64_t> offsets;
    if (!writeUnsignedCopy(in, layout, out, offsets)) {
        if (!in.good()) return fail("cannot read %s", inName.c_str());
        return false;
    }
    return signDigests(out, offsets, key);
}

}  // namespace vlpkg
