#include <openssl/crypto.h>

#include <fstream>

#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/legacy_key.h"
#include "vlpkg/package_signer.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kSignHelp =
    "usage: vlpkg sign [--key ED25519-PRIVATE.pem] [--legacy-key LEGACY-PRIVATE.hex] IN OUT\n"
    "Signs every package in IN, and every member of a bundle, and writes the result to OUT\n"
    "(which may be IN itself). With --key a bundle also gets its own signature, after its\n"
    "last member, over its own parts and its members' digests. A file the installer would\n"
    "refuse for its layout is not signed.\n"
    "\n"
    "With --key the digest is SHA-256: a marker part is put before each package header that\n"
    "lacks one, and each signature part is 132 bytes, the Ed25519 signature of the digest in\n"
    "its last 64; an existing signature part is replaced. With --legacy-key as well, its first\n"
    "68 bytes carry the older scheme's signature of the digest's first 20 bytes.\n"
    "\n"
    "With only --legacy-key the package's own digest is signed (SHA-1 when it has no marker):\n"
    "an existing signature part keeps its length and all but its first 68 bytes, which receive\n"
    "the older scheme's signature; a package without one gets a 68-byte part.\n"
    "\n"
    "  --key FILE             Ed25519 private key, PKCS#8 PEM (see vlpkg keygen)\n"
    "  --legacy-key FILE      older-scheme secret key, 64 hex digits (see vlpkg keygen --legacy)\n"
    "  -h, --help             show this help\n";

}  // namespace

int signCommand(const std::vector<std::string>& args, std::ostream& out) {
    KeyArguments parsed;
    if (const auto status = parseKeyArguments(args, "sign", kSignHelp, out, parsed)) return *status;
    const std::string& keyPath = parsed.keyPath;
    const std::string& legacyKeyPath = parsed.legacyKeyPath;
    const std::vector<std::string>& files = parsed.files;
    if (files.size() != 2) {
        fail("expected IN and OUT (see vlpkg sign --help)");
        return kStatusUsage;
    }
    if (keyPath.empty() && legacyKeyPath.empty()) {
        fail("no signing key given (--key, --legacy-key)");
        return kStatusUsage;
    }
    SigningKeys keys;
    KeyHandle key;
    if (!keyPath.empty()) {
        key = loadPrivateKey(keyPath);
        if (!key) return kStatusFailed;
        keys.ed25519 = key.get();
    }
    LegacySecret legacy{};
    if (!legacyKeyPath.empty()) {
        if (!loadLegacyKey(legacyKeyPath, legacy)) return kStatusFailed;
        keys.legacy = &legacy;
    }
    std::ifstream in(files[0], std::ios::binary);
    if (!in) {
        fail("cannot read %s", files[0].c_str());
        return kStatusFailed;
    }
    FileSink sink;
    const bool signedAll =
        sink.open(files[1]) && signPackageFile(in, files[0], sink, keys) && sink.commit();
    OPENSSL_cleanse(legacy.data(), legacy.size());
    return signedAll ? kStatusOk : kStatusFailed;
}

}  // namespace vlpkg
