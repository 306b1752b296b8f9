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

// The file with every package given a signature part ready to be signed: with an Ed25519 key a
// marker and a 132-byte part whose Ed25519 half is still zero; with only an older-scheme key the
// existing part as it is (when it can hold the older scheme's 68 bytes), else a new 68-byte
// part. Returns the output offsets of those parts' payloads, in file order.
bool writeUnsignedCopy(std::istream& in, const PackageLayout& layout, ByteSink& out,
                       const SigningKeys& keys, std::vector<uint64_t>& payloadOffsets) {
    uint64_t start;
    if (!beginOuterHeader(out, layout.magic, start)) return false;
    if (!copyParts(in, layout, 0, layout.members.front().first, out)) return false;
    for (size_t k = 0; k < layout.members.size(); ++k) {
        const MemberLayout& member = layout.members[k];
        LegacyHalf legacy{};
        if (keys.ed25519 && !keys.legacy && !keptLegacyHalf(in, layout, member, legacy))
            return false;
        // The marker goes right before the header, after anything else the package begins with.
        if (!copyParts(in, layout, member.first, member.header, out)) return false;
        if (keys.ed25519 && !member.hasMarker && !writePart(out, kPartSha256Marker, nullptr, 0))
            return false;
        if (!copyParts(in, layout, member.header, member.signatureAt, out)) return false;

        payloadOffsets.push_back(out.position() + kPartHeaderSize);
        const bool keepPart = !keys.ed25519 && member.signature != kNoPart &&
                              layout.parts[member.signature].length >= kLegacySignatureSize;
        if (keepPart) {
            // Same length, same part header: the digest, and an Ed25519 half, stay valid.
            if (!copyParts(in, layout, member.signature, member.signature + 1, out)) return false;
        } else if (keys.ed25519) {
            std::array<uint8_t, kSignatureSize> payload{};
            std::memcpy(payload.data(), legacy.data(), legacy.size());
            if (!writePart(out, kPartSignature, payload.data(), payload.size())) return false;
        } else {
            const LegacyHalf payload{};
            if (!writePart(out, kPartSignature, payload.data(), payload.size())) return false;
        }

        const size_t rest = member.signature == kNoPart ? member.signatureAt : member.signature + 1;
        if (!copyParts(in, layout, rest, member.end, out)) return false;
        const size_t next =
            k + 1 < layout.members.size() ? layout.members[k + 1].first : layout.parts.size();
        if (!copyParts(in, layout, member.end, next, out)) return false;
    }
    return finishOuterHeader(out, start);
}

// Reads the output back as the installer would and signs each package's digest in place.
bool signDigests(ByteSink& out, const std::vector<uint64_t>& payloadOffsets,
                 const SigningKeys& keys) {
    std::unique_ptr<std::istream> written = out.readBack();
    if (!written) return fail("cannot read back the signed output");
    PackageReader reader(*written, true);
    reader.wantedTypes = {uint32_t(PartType::Signature)};
    size_t next = 0;
    while (reader.nextPart() == PartType::Signature) {
        const uint64_t at = reader.parts().partStart();
        // A signature part copied from elsewhere in the file is not one of ours.
        if (next >= payloadOffsets.size() || payloadOffsets[next] != at) continue;
        reader.parts().finishDigest();
        const auto& digest = reader.parts().digest();
        if (keys.ed25519) {
            if (!reader.parts().usesSha256()) return fail("the package digest is not SHA-256");
            Ed25519Signature signature;
            if (!signMessage(keys.ed25519, digest.data(), kSha256Size, signature)) return false;
            if (!out.patch(at + kEd25519SignatureOffset, signature.data(), signature.size()))
                return false;
        }
        if (keys.legacy) {
            LegacySignature signature;
            if (!legacySign(
                    *keys.legacy,
                    std::span<const uint8_t, kLegacyDigestSize>(digest.data(), kLegacyDigestSize),
                    signature))
                return false;
            if (!out.patch(at, signature.data(), signature.size())) return false;
        }
        ++next;
    }
    if (next != payloadOffsets.size())
        return fail("the signed output does not read back as written");
    return true;
}

}  // namespace

bool signPackageFile(std::istream& in, const std::string& inName, ByteSink& out,
                     const SigningKeys& keys) {
    if (!keys.ed25519 && !keys.legacy) return fail("no signing key given");
    PackageLayout layout;
    std::string problem;
    if (!readLayout(in, layout, problem)) return fail("%s %s", inName.c_str(), problem.c_str());
    if (!layout.damage.empty())
        return fail("%s is damaged: %s", inName.c_str(), layout.damage.c_str());
    if (layout.members.empty()) return fail("%s carries no package to sign", inName.c_str());
    std::vector<uint64_t> offsets;
    if (!writeUnsignedCopy(in, layout, out, keys, offsets)) {
        if (!in.good()) return fail("cannot read %s", inName.c_str());
        return false;
    }
    return signDigests(out, offsets, keys);
}

bool signPackageFile(std::istream& in, const std::string& inName, ByteSink& out, evp_pkey_st* key) {
    return signPackageFile(in, inName, out, SigningKeys{key, nullptr});
}

}  // namespace vlpkg
