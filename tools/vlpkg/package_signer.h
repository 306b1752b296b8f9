// Signs every package of a file (each member of a bundle): the digest is SHA-256, so a marker
// part goes before each header that lacks one, and the 132-byte signature part carries the
// Ed25519 signature of that digest in its last 64 bytes.
#pragma once

#include <istream>

#include "vlpkg/byte_sink.h"

struct evp_pkey_st;

namespace vlpkg {

// Writes the signed file to `out`, which must be readable back: the digests are taken from the
// output itself, by the same reader the installer uses, so they cover exactly what it hashes.
// An existing signature part is replaced; its older-scheme half is kept when the signed bytes
// did not change (it would no longer match otherwise, and is then left zero).
[[nodiscard]] bool signPackageFile(std::istream& in, const std::string& inName, ByteSink& out,
                                   evp_pkey_st* key);

}  // namespace vlpkg
