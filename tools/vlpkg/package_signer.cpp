#include "vlpkg/package_signer.h"

#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "package/package_reader.h"
#include "vlpkg/package_format.h"
#include "vlpkg/package_layout.h"
#include "vlpkg/package_writer.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
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

// Offsets in the output of the payloads to sign: one per package, in file order, and the bundle
// signature's when one is written.
struct PayloadOffsets {
    std::vector<uint64_t> packages;
    std::optional<uint64_t> bundle;
};

// The file with every package given a signature part ready to be signed: with an Ed25519 key a
// marker and a 132-byte part whose Ed25519 half is still zero, and for a bundle a zero bundle
// signature after its last member; with only an older-scheme key the existing part as it is
// (when it can hold the older scheme's 68 bytes), else a new 68-byte part.
bool writeUnsignedCopy(std::istream& in, const PackageLayout& layout, ByteSink& out,
                       const SigningKeys& keys, PayloadOffsets& offsets) {
    uint64_t start;
    if (!beginOuterHeader(out, layout.magic, start)) return false;
    if (!copyParts(in, layout, 0, layout.members.front().first, out)) return false;
    // Whether every member's digest stays what it was: only then does an existing bundle
    // signature that is not renewed still hold.
    bool digestsKept = true;
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

        offsets.packages.push_back(out.position() + kPartHeaderSize);
        const bool keepPart = !keys.ed25519 && member.signature != kNoPart &&
                              layout.parts[member.signature].length >= kLegacySignatureSize;
        digestsKept = digestsKept && keepPart;
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
        if (k + 1 < layout.members.size()) {
            if (!copyParts(in, layout, member.end, layout.members[k + 1].first, out)) return false;
            continue;
        }
        // After the last member: the bundle signature, then what closes the file.
        if (layout.isBundle && keys.ed25519) {
            offsets.bundle = out.position() + kPartHeaderSize;
            const std::array<uint8_t, kBundleSignatureSize> payload{};
            if (!writePart(out, kPartBundleSignature, payload.data(), payload.size())) return false;
        }
        for (size_t i = member.end; i < layout.parts.size(); ++i) {
            const bool renewed = keys.ed25519 || !digestsKept;
            if (i == layout.bundleSignature && renewed) continue;
            if (!copyParts(in, layout, i, i + 1, out)) return false;
        }
    }
    return finishOuterHeader(out, start);
}

// Reads the output back as the installer would and signs each digest in place.
bool signDigests(ByteSink& out, const PayloadOffsets& offsets, const SigningKeys& keys) {
    std::unique_ptr<std::istream> written = out.readBack();
    if (!written) return fail("cannot read back the signed output");
    PackageLayout layout;
    std::string problem;
    if (!readLayout(*written, layout, problem) || !layout.damage.empty())
        return fail("the signed output does not read back as written");
    // What this tool writes, the installer must take: anything else is no signed package.
    if (!layout.misplaced.empty())
        return fail("the signed file would be refused: %s", layout.misplaced.c_str());
    if (layout.members.size() != offsets.packages.size())
        return fail("the signed output does not read back as written");
    for (size_t k = 0; k < layout.members.size(); ++k) {
        const MemberLayout& member = layout.members[k];
        const uint64_t at = offsets.packages[k];
        if (member.signature == kNoPart ||
            layout.parts[member.signature].offset + kPartHeaderSize != at)
            return fail("the signed output does not read back as written");
        if (keys.ed25519) {
            if (!member.sha256) return fail("the package digest is not SHA-256");
            Ed25519Signature signature;
            if (!signMessage(keys.ed25519, member.digest.data(), kSha256Size, signature)) return false;
            if (!out.patch(at + kEd25519SignatureOffset, signature.data(), signature.size()))
                return false;
        }
        if (keys.legacy) {
            LegacySignature signature;
            if (!legacySign(*keys.legacy,
                            std::span<const uint8_t, kLegacyDigestSize>(member.digest.data(),
                                                                        kLegacyDigestSize),
                            signature))
                return false;
            if (!out.patch(at, signature.data(), signature.size())) return false;
        }
    }
    if (offsets.bundle) {
        if (layout.bundleSignature == kNoPart ||
            layout.parts[layout.bundleSignature].offset + kPartHeaderSize != *offsets.bundle)
            return fail("the signed output does not read back as written");
        Ed25519Signature signature;
        if (!signMessage(keys.ed25519, layout.bundleDigest.data(), kSha256Size, signature))
            return false;
        if (!out.patch(*offsets.bundle, signature.data(), signature.size())) return false;
    }
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
    PayloadOffsets offsets;
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
