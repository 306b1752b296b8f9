// Ed25519 keys for signing packages, as PEM files: the private key in PKCS#8, the public key
// as SubjectPublicKeyInfo. The tool never carries a key of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "vlpkg/package_format.h"

struct evp_pkey_st;

namespace vlpkg {

using namespace velmara;

struct KeyDeleter {
    void operator()(evp_pkey_st* key) const;
};
using KeyHandle = std::unique_ptr<evp_pkey_st, KeyDeleter>;

using Ed25519Signature = std::array<uint8_t, kEd25519SignatureSize>;
using Ed25519PublicKey = std::array<uint8_t, kEd25519KeySize>;

// Null (reported) when the file cannot be read or holds no Ed25519 private key.
KeyHandle loadPrivateKey(const std::string& path);
KeyHandle loadPublicKey(const std::string& path);
KeyHandle generateKey();

[[nodiscard]] bool signMessage(evp_pkey_st* key, const uint8_t* message, size_t size,
                               Ed25519Signature& signature);
[[nodiscard]] bool verifyMessage(evp_pkey_st* key, const uint8_t* message, size_t size,
                                 const Ed25519Signature& signature);
[[nodiscard]] bool rawPublicKey(evp_pkey_st* key, Ed25519PublicKey& raw);

// PEM texts of a key pair.
[[nodiscard]] bool privateKeyPem(evp_pkey_st* key, std::string& pem);
[[nodiscard]] bool publicKeyPem(evp_pkey_st* key, std::string& pem);

}  // namespace vlpkg
