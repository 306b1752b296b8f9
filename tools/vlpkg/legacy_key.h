// Keys and signatures of the older signature scheme: a secret scalar s and the u-coordinate
// of [s]B as the public key, 32 little-endian bytes each, kept as 64 hex digits.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "package/signature.h"

namespace vlpkg {

using namespace velmara;

using LegacySecret = std::array<uint8_t, kScalarBytes>;
using LegacyPublic = LegacyPublicKey;
using LegacySignature = std::array<uint8_t, kLegacySignatureSize>;

// A new secret from the system's random source, clamped as Curve25519 secrets are.
[[nodiscard]] bool generateLegacySecret(LegacySecret& secret);
// u([s]B) for the secret's full 256 bits.
LegacyPublic legacyPublicKey(const LegacySecret& secret);

// The 68-byte older-scheme signature of the first 20 bytes of a digest; its first 20 bytes are
// zero (not interpreted). The nonce is derived from the secret and the digest, so signing the
// same digest twice gives the same signature and no random source can weaken it. False
// (reported) when the big-number arithmetic fails.
[[nodiscard]] bool legacySign(const LegacySecret& secret,
                              std::span<const uint8_t, kLegacyDigestSize> digest,
                              LegacySignature& signature);

// 64 hex digits (white space around them ignored) to 32 bytes in the order written.
[[nodiscard]] bool parseKeyHex(const std::string& text, std::array<uint8_t, 32>& bytes);
std::string keyHex(std::span<const uint8_t, 32> bytes);

// Reads a key file of 64 hex digits; false (reported) when unreadable or malformed.
[[nodiscard]] bool loadLegacyKey(const std::string& path, std::array<uint8_t, 32>& bytes);

}  // namespace vlpkg
