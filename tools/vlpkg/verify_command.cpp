#include <sys/stat.h>

#include <fstream>
#include <optional>

#include "package/package_reader.h"
#include "package/signature.h"
#include "pkgdb/names.h"
#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/legacy_key.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {
namespace {

const char* const kVerifyHelp =
    "usage: vlpkg verify [--key ED25519-PUBLIC.pem] [--legacy-key LEGACY-PUBLIC.hex] FILE\n"
    "Checks the signature of every package in FILE, and of every member of a bundle, the way\n"
    "the installer does, and says which scheme accepted each or why it was refused. Exits 0\n"
    "only when every package is accepted. A key not given is the one the installer was built\n"
    "with. As on the router, the older scheme is refused wherever /ram/SECURE exists.\n"
    "\n"
    "  --key FILE             Ed25519 public key, SubjectPublicKeyInfo PEM\n"
    "  --legacy-key FILE      older-scheme public key, 64 hex digits\n"
    "  -h, --help             show this help\n";

// Why the version policy refuses an older-scheme signature that matches.
std::string legacyRefusal() {
    struct stat info;
    if (stat(kSecureMarker, &info) == 0)
        return std::string("its older-scheme signature matches, but ") + kSecureMarker +
               " turns that scheme off";
    return "its older-scheme signature matches, but the version policy does not allow that "
           "scheme for this package";
}

// Why a package whose signature part was read was refused. `ownMarker`: the package has a
// marker part of its own; without one, a SHA-256 digest comes from an earlier package's marker.
std::string refusal(const SignatureCheck& check, bool ownMarker) {
    if (!check.read) return "its signature part is shorter than 68 bytes";
    if (check.legacyMatches && !check.legacyAllowed) return legacyRefusal();
    if (check.sha256 && !ownMarker)
        return "its digest is SHA-256 because a package before it in the file has a marker "
               "part, and its signature does not match that digest";
    if (check.length == kFullSignatureSize && check.sha256)
        return "its Ed25519 signature does not verify and its older-scheme signature does not "
               "match";
    if (check.length == kFullSignatureSize)
        return "its digest is SHA-1 (no marker part), so only the older scheme counts, and that "
               "signature does not match";
    return "its older-scheme signature does not match";
}

// The verdict, followed by what the scheme that did not decide says, when the package carries
// a signature of that scheme too.
std::string verdict(const SignatureCheck& check, bool ownMarker) {
    switch (check.accepted()) {
        case SignatureScheme::Ed25519:
            if (!check.legacyPresent) return "accepted by Ed25519";
            if (check.legacyMatches && check.legacyAllowed)
                return "accepted by Ed25519 and by the older scheme";
            if (check.legacyMatches) return "accepted by Ed25519; " + legacyRefusal();
            return "accepted by Ed25519; its older-scheme signature does not match";
        case SignatureScheme::Legacy:
            if (!check.ed25519Present) return "accepted by the older scheme";
            if (check.sha256)
                return "accepted by the older scheme; its Ed25519 signature does not verify";
            return "accepted by the older scheme; its Ed25519 signature is not consulted, since "
                   "its digest is SHA-1 (no marker part)";
        case SignatureScheme::None:
            break;
    }
    return "refused: " + refusal(check, ownMarker);
}

bool loadKeys(const std::string& keyPath, const std::string& legacyKeyPath, TrustedKeys& keys) {
    keys = builtInKeys();
    if (!keyPath.empty()) {
        KeyHandle key = loadPublicKey(keyPath);
        Ed25519PublicKey raw;
        if (!key || !rawPublicKey(key.get(), raw)) return false;
        keys.ed25519 = raw;
    }
    if (!legacyKeyPath.empty() && !loadLegacyKey(legacyKeyPath, keys.legacy)) return false;
    return true;
}

}  // namespace

int verifyCommand(const std::vector<std::string>& args, std::ostream& out) {
    KeyArguments parsed;
    if (const auto status = parseKeyArguments(args, "verify", kVerifyHelp, out, parsed)) return *status;
    const std::string& keyPath = parsed.keyPath;
    const std::string& legacyKeyPath = parsed.legacyKeyPath;
    const std::vector<std::string>& files = parsed.files;
    if (files.size() != 1) {
        fail("expected one FILE (see vlpkg verify --help)");
        return kStatusUsage;
    }
    TrustedKeys keys;
    if (!loadKeys(keyPath, legacyKeyPath, keys)) return kStatusFailed;
    std::ifstream in(files[0], std::ios::binary);
    if (!in) {
        fail("cannot read %s", files[0].c_str());
        return kStatusFailed;
    }
    PackageReader reader(in, true);
    if (!reader) {
        fail("%s is not a package file", files[0].c_str());
        return kStatusFailed;
    }
    // Each package's digest runs from its header part to its signature part; a marker before
    // the header makes it SHA-256, for that package and every later one.
    reader.wantedTypes = {uint32_t(PartType::Header), uint32_t(PartType::Signature),
                          uint32_t(PartType::Sha256Marker)};
    size_t packages = 0;
    size_t accepted = 0;
    std::optional<PackageRecord> pending;
    bool markerSeen = false;
    bool ownMarker = false;
    const auto report = [&](const PackageRecord& record, const std::string& result) {
        ++packages;
        out << recordName(record) << ": " << result << "\n";
    };
    int32_t type = reader.nextPart();
    while (type != PartType::None) {
        if (type == PartType::Sha256Marker) {
            markerSeen = true;
            type = reader.nextPart();
            continue;
        }
        if (type == PartType::Header) {
            ownMarker = markerSeen;
            markerSeen = false;
            if (pending) report(*pending, "refused: it has no signature part");
            PackageRecord record;
            if (!readPackageHeader(record, reader)) {
                fail("%s: a package header cannot be read", files[0].c_str());
                return kStatusFailed;
            }
            pending = std::move(record);
            type = reader.partType();
            continue;
        }
        if (pending) {
            const SignatureCheck check = checkSignature(*pending, reader, keys, true);
            // The installer refuses a name its database cannot hold, whatever the signature.
            if (const char* problem = packageNameProblem(pending->name)) {
                report(*pending, "refused: package name " + shown(pending->name) + " " + problem);
            } else {
                if (check.accepted() != SignatureScheme::None) ++accepted;
                report(*pending, verdict(check, ownMarker));
            }
            pending.reset();
        }
        type = reader.nextPart();
    }
    if (pending) report(*pending, "refused: it has no signature part");
    if (packages == 0) {
        fail("%s carries no package", files[0].c_str());
        return kStatusFailed;
    }
    return accepted == packages ? kStatusOk : kStatusFailed;
}

}  // namespace vlpkg
