// The single-block hash of the older package-signature scheme: the SHA-256 compression function
// run once over a padded message of at most 55 bytes, with this program's own round constants
// and initial value instead of the standard ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmara {

constexpr size_t kShortHashRounds = 64;
constexpr size_t kShortHashStateWords = 8;
constexpr size_t kShortHashBlockWords = 16;
constexpr size_t kShortHashBlockBytes = 64;
constexpr size_t kShortHashSize = 32;
// The padding needs the 0x80 byte and an 8-byte length field after the message.
constexpr size_t kShortHashMaxMessage = 55;

// The two tables of the hash, stored one after the other as the signing tool expects them.
struct ShortHashTables {
    uint32_t roundConstants[kShortHashRounds];
    uint32_t initialValue[kShortHashStateWords];
};

// This program's tables; their derivation is documented beside their values.
extern const ShortHashTables kShortHashTables;

using ShortHashState = uint32_t[kShortHashStateWords];
using ShortHashBlock = uint32_t[kShortHashBlockWords];

// One compression of `block` into `state` with the given round constants.
void compressBlock(ShortHashState& state, const ShortHashBlock& block,
                   const uint32_t (&roundConstants)[kShortHashRounds]);

// Hashes a message of at most kShortHashMaxMessage bytes into `out` with this program's tables.
// A longer message has no single-block padding: it is refused and `out` is left untouched.
[[nodiscard]] bool shortHash(std::span<uint8_t, kShortHashSize> out,
                             std::span<const uint8_t> message);

// The same with other tables; tests use it with the standard ones.
[[nodiscard]] bool shortHash(const ShortHashTables& tables, std::span<uint8_t, kShortHashSize> out,
                             std::span<const uint8_t> message);

}  // namespace velmara
