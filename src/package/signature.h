// The check of a package's signature part against the digest the package reader computed
// while the package streamed by. Two schemes: Ed25519 over a SHA-256 digest, and the older
// scheme of this program (the single-block hash and the Curve25519 combination), which a
// version policy and the marker "/ram/SECURE" may refuse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/double_scalar.h"
#include "crypto/short_hash.h"
#include "package/package_reader.h"
#include "platform/ed25519.h"
#include "record/package_record.h"

namespace velmara {

// Signature payload: the older scheme's 68 bytes, then (in a payload of 132 bytes or more)
// the 64-byte Ed25519 signature. Payload bytes after these are not interpreted.
constexpr size_t kLegacySignatureSize = 68;
constexpr size_t kFullSignatureSize = 132;
constexpr size_t kLegacyCheckOffset = 20;  // 16-byte check value c
constexpr size_t kLegacyCheckSize = 16;
constexpr size_t kLegacyScalarOffset = 36;  // 32-byte scalar a, little-endian
constexpr size_t kEd25519SignatureOffset = 68;
// The older scheme hashes the first 20 bytes of the digest (all of a SHA-1 digest).
constexpr size_t kLegacyDigestSize = 20;
// Where the check value is folded into the digest's hash.
constexpr size_t kLegacyMixOffset = 8;

constexpr const char* kSecureMarker = "/ram/SECURE";
// The package whose older-scheme signatures every version policy accepts.
constexpr const char* kBrandingPackage = "branding";

using Ed25519PublicKey = std::array<uint8_t, kEd25519PublicKeySize>;
using LegacyPublicKey = std::array<uint8_t, kCurvePointBytes>;

struct TrustedKeys {
    Ed25519PublicKey ed25519{};
    LegacyPublicKey legacy{};
};

// The keys this installer was built to trust.
const TrustedKeys& builtInKeys();

// The version policy alone: whether this package may still carry an older-scheme signature.
[[nodiscard]] bool legacyVersionAllowed(const PackageRecord& record);
// The policy with the marker: none at all once "/ram/SECURE" exists.
[[nodiscard]] bool legacyAllowed(const PackageRecord& record);

// Whether a 68-byte older-scheme signature matches the first 20 bytes of a digest.
[[nodiscard]] bool legacySignatureMatches(std::span<const uint8_t, kLegacyDigestSize> digest,
                                          std::span<const uint8_t, kLegacySignatureSize> signature,
                                          const LegacyPublicKey& publicKey);

enum class SignatureScheme { None, Ed25519, Legacy };

// What the check found, for tools that say why a package was accepted or refused.
struct SignatureCheck {
    bool read = false;          // a signature part of at least 68 bytes was read whole
    size_t length = 0;          // the bytes read: 68 or 132
    bool sha256 = false;        // the digest is SHA-256 (else SHA-1)
    bool ed25519Valid = false;  // only ever checked for a SHA-256 digest
    bool legacyMatches = false;
    bool legacyAllowed = false;
    // Whether each half holds anything at all: a signer that used one key leaves the other zero.
    bool ed25519Present = false;
    bool legacyPresent = false;

    SignatureScheme accepted() const {
        if (ed25519Valid) return SignatureScheme::Ed25519;
        if (legacyMatches && legacyAllowed) return SignatureScheme::Legacy;
        return SignatureScheme::None;
    }
};

// Checks the signature part at which the reader stands (hashing on): finishes the digest,
// reads the signature without hashing it (the tee sink still gets it) and leaves the reader at
// that part. Ed25519 is consulted only for a SHA-256 digest: a SHA-1 digest would fill only
// 20 of the 32 message bytes, so SHA-1 packages are decided by the older scheme alone. A valid
// Ed25519 signature decides alone; with `everyScheme` the older half is still checked, for a
// tool that reports both.
SignatureCheck checkSignature(const PackageRecord& record, PackageReader& reader,
                              const TrustedKeys& keys, bool everyScheme = false);
// The same decision on a digest and a signature payload read elsewhere: `payload` holds the
// payload's first bytes, at most 132 (fewer than 68 are refused).
SignatureCheck checkSignatureBytes(const PackageRecord& record,
                                   const std::array<uint8_t, kDigestBufferSize>& digest,
                                   bool sha256, std::span<const uint8_t> payload,
                                   const TrustedKeys& keys, bool everyScheme = false);

// True when the package's signature is accepted under the built-in keys. Silent: the caller
// reports a refusal.
[[nodiscard]] bool verifySignature(const PackageRecord& record, PackageReader& reader);

// Whether a bundle signature payload (exactly 64 bytes) is the Ed25519 signature of the bundle
// digest.
[[nodiscard]] bool bundleSignatureValid(const std::array<uint8_t, kDigestBufferSize>& digest,
                                        std::span<const uint8_t> payload,
                                        const Ed25519PublicKey& key);
// Checks the bundle signature part at which the reader stands (hashing on) under the built-in
// key, reading its payload without hashing it. Silent.
[[nodiscard]] bool verifyBundleSignature(PackageReader& reader);
// Whether "/ram/SECURE" exists: then the older scheme is off and every bundle must be signed.
[[nodiscard]] bool secureMarkerExists();

}  // namespace velmara
