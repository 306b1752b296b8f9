// Ed25519 signature verification (RFC 8032), a thin layer over libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmara {

constexpr size_t kEd25519PublicKeySize = 32;
constexpr size_t kEd25519SignatureSize = 64;

// True when `signature` is a valid signature of `message` under `publicKey`. A key that is not
// a valid point, like any other failure, gives false.
[[nodiscard]] bool ed25519Verify(std::span<const uint8_t, kEd25519PublicKeySize> publicKey,
                                 std::span<const uint8_t> message,
                                 std::span<const uint8_t, kEd25519SignatureSize> signature);

}  // namespace velmara
