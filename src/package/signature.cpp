#include "package/signature.h"

#include <sys/stat.h>

#include <algorithm>

#include "trusted_keys.h"

namespace velmara {

namespace {

// Version policy bounds, packed versions compared as unsigned numbers.
constexpr PackageVersion kLastOpenVersion = 0x062E6608;      // 6.46.8
constexpr PackageVersion kReopenedSeries = 0x062F0000;       // the 6.47 series
constexpr PackageVersion kLastReopenedVersion = 0x06306600;  // 6.48
constexpr PackageVersion kSevenSeries = 0x07000000;          // 7.0
constexpr PackageVersion kLastSevenVersion = 0x07016203;     // 7.1beta3

// Curve25519 scalar clamping: a multiple of the cofactor, with the top bit fixed.
constexpr uint8_t kClampLow = 0xF8;
constexpr uint8_t kClampHighMask = 0x7F;
constexpr uint8_t kClampHighBit = 0x40;

bool markerExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

}  // namespace

const TrustedKeys& builtInKeys() {
    static const TrustedKeys keys = [] {
        TrustedKeys k;
        std::copy(std::begin(trusted_keys::kEd25519), std::end(trusted_keys::kEd25519),
                  k.ed25519.begin());
        std::copy(std::begin(trusted_keys::kLegacy), std::end(trusted_keys::kLegacy),
                  k.legacy.begin());
        return k;
    }();
    return keys;
}

bool legacyVersionAllowed(const PackageRecord& record) {
    // First matching rule wins.
    // The branding package keeps its older signatures on every version.
    if (record.name == kBrandingPackage) return true;
    // Up to 6.46.8 every package was signed the older way.
    if (record.version <= kLastOpenVersion) return true;
    // The rest of the 6.46 series already required Ed25519.
    if (record.version < kReopenedSeries) return false;
    // The 6.47 series up to 6.48 accepts the older scheme again.
    if (record.version <= kLastReopenedVersion) return true;
    // The 7.0 series up to 7.1beta3 does too.
    if (record.version >= kSevenSeries && record.version <= kLastSevenVersion) return true;
    // From 6.48.1 below 7.0 and above 7.1beta3: Ed25519 only.
    return false;
}

bool legacyAllowed(const PackageRecord& record) {
    // The marker turns the older scheme off for every package.
    if (markerExists(kSecureMarker)) return false;
    return legacyVersionAllowed(record);
}

bool legacySignatureMatches(std::span<const uint8_t, kLegacyDigestSize> digest,
                            std::span<const uint8_t, kLegacySignatureSize> signature,
                            const LegacyPublicKey& publicKey) {
    const auto check = signature.subspan<kLegacyCheckOffset, kLegacyCheckSize>();
    const auto scalarA = signature.subspan<kLegacyScalarOffset, kScalarBytes>();

    std::array<uint8_t, kShortHashSize> scalarB;
    if (!shortHash(scalarB, digest)) return false;
    for (size_t i = 0; i < kLegacyCheckSize; ++i) scalarB[kLegacyMixOffset + i] ^= check[i];
    scalarB[0] &= kClampLow;
    scalarB[kScalarBytes - 1] = (scalarB[kScalarBytes - 1] & kClampHighMask) | kClampHighBit;

    std::array<uint8_t, kCurvePointBytes> combined;
    doubleScalarU(combined, scalarA, scalarB, publicKey);
    std::array<uint8_t, kShortHashSize> expected;
    if (!shortHash(expected, combined)) return false;
    return std::equal(check.begin(), check.end(), expected.begin());
}

SignatureCheck checkSignature(const PackageRecord& record, PackageReader& reader,
                              const TrustedKeys& keys, bool everyScheme) {
    PartStreamBuf& parts = reader.parts();
    if (reader.partType() != PartType::Signature || !parts.hashing())
        return checkSignatureBytes(record, parts.digest(), false, {}, keys, everyScheme);

    // The digest covers the package from its header part up to this part's header.
    parts.finishDigest();
    size_t length = 0;
    if (parts.partRemaining() >= kFullSignatureSize)
        length = kFullSignatureSize;
    else if (parts.partRemaining() >= kLegacySignatureSize)
        length = kLegacySignatureSize;
    std::array<uint8_t, kFullSignatureSize> signature{};
    if (length != 0 &&
        parts.readUnhashed(reinterpret_cast<char*>(signature.data()), length) != length)
        length = 0;
    return checkSignatureBytes(record, parts.digest(), parts.usesSha256(),
                               std::span<const uint8_t>(signature.data(), length), keys,
                               everyScheme);
}

SignatureCheck checkSignatureBytes(const PackageRecord& record,
                                   const std::array<uint8_t, kDigestBufferSize>& digest,
                                   bool sha256, std::span<const uint8_t> payload,
                                   const TrustedKeys& keys, bool everyScheme) {
    SignatureCheck result;
    result.legacyAllowed = legacyAllowed(record);
    if (payload.size() < kLegacySignatureSize) return result;
    const size_t length =
        payload.size() >= kFullSignatureSize ? kFullSignatureSize : kLegacySignatureSize;
    result.read = true;
    result.length = length;
    result.sha256 = sha256;
    const auto nonZero = [&](size_t from, size_t to) {
        return std::any_of(payload.begin() + std::ptrdiff_t(from),
                           payload.begin() + std::ptrdiff_t(to), [](uint8_t b) { return b != 0; });
    };
    result.legacyPresent = nonZero(kLegacyCheckOffset, kLegacySignatureSize);
    result.ed25519Present = nonZero(kEd25519SignatureOffset, length);

    if (length == kFullSignatureSize && result.sha256) {
        result.ed25519Valid =
            ed25519Verify(keys.ed25519, digest,
                          std::span<const uint8_t, kEd25519SignatureSize>(
                              payload.data() + kEd25519SignatureOffset, kEd25519SignatureSize));
        // A valid Ed25519 signature decides alone; the older half is not looked at.
        if (result.ed25519Valid && !everyScheme) return result;
    }
    result.legacyMatches = legacySignatureMatches(
        std::span<const uint8_t, kLegacyDigestSize>(digest.data(), kLegacyDigestSize),
        std::span<const uint8_t, kLegacySignatureSize>(payload.data(), kLegacySignatureSize),
        keys.legacy);
    return result;
}

bool verifySignature(const PackageRecord& record, PackageReader& reader) {
    return checkSignature(record, reader, builtInKeys()).accepted() != SignatureScheme::None;
}

bool bundleSignatureValid(const std::array<uint8_t, kDigestBufferSize>& digest,
                          std::span<const uint8_t> payload, const Ed25519PublicKey& key) {
    if (payload.size() != kBundleSignatureSize) return false;
    return ed25519Verify(key, digest,
                         std::span<const uint8_t, kEd25519SignatureSize>(payload.data(),
                                                                         kEd25519SignatureSize));
}

bool verifyBundleSignature(PackageReader& reader) {
    PartStreamBuf& parts = reader.parts();
    if (reader.partType() != PartType::BundleSignature || !parts.bundleDigestReady()) return false;
    // Any other length would leave unsigned bytes in the kept image.
    if (reader.partLength() != kBundleSignatureSize) return false;
    std::array<uint8_t, kBundleSignatureSize> signature{};
    if (parts.readUnhashed(reinterpret_cast<char*>(signature.data()), signature.size()) !=
        signature.size())
        return false;
    return bundleSignatureValid(parts.bundleDigest(), signature, builtInKeys().ed25519);
}

bool secureMarkerExists() {
    return markerExists(kSecureMarker);
}

}  // namespace velmara
