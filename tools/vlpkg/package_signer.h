// Signs every package of a file (each member of a bundle). With an Ed25519 key the digest is
// SHA-256: a marker part goes before each header that lacks one, and the 132-byte signature
// part carries the Ed25519 signature of that digest in its last 64 bytes. With an older-scheme
// key the first 68 bytes of the signature part carry that scheme's signature of the first 20
// digest bytes; on its own it signs the package's own digest (SHA-1 without a marker).
#pragma once

#include <istream>

#include "vlpkg/byte_sink.h"
#include "vlpkg/legacy_key.h"

struct evp_pkey_st;

namespace vlpkg {

using namespace velmara;

// The keys to sign with; at least one is given. Neither is owned.
struct SigningKeys {
    evp_pkey_st* ed25519 = nullptr;
    const LegacySecret* legacy = nullptr;
};

// Writes the signed file to `out`, which must be readable back: the digests are taken from the
// output itself, by the same reader the installer uses, so they cover exactly what it hashes.
// With an Ed25519 key an existing signature part is replaced; without an older-scheme key its
// older-scheme half is kept when the signed bytes did not change (it would no longer match
// otherwise, and is then left zero). With only an older-scheme key an existing signature part
// keeps its length and every byte after the first 68; a package without one (or with one too
// short to hold the older scheme) gets a 68-byte part.
[[nodiscard]] bool signPackageFile(std::istream& in, const std::string& inName, ByteSink& out,
                                   const SigningKeys& keys);
// Ed25519 only.
[[nodiscard]] bool signPackageFile(std::istream& in, const std::string& inName, ByteSink& out,
                                   evp_pkey_st* key);

}  // namespace vlpkg
