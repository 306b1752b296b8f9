#include <sys/stat.h>

#include <fstream>
#include <optional>

#include "package/package_reader.h"
#include "package/signature.h"
#include "record/names.h"
#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/legacy_key.h"
#include "vlpkg/package_layout.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kVerifyHelp =
    "usage: vlpkg verify [--key ED25519-PUBLIC.pem] [--legacy-key LEGACY-PUBLIC.hex] FILE\n"
    "Checks the signature of every package in FILE, and of every member of a bundle, the way\n"
    "the installer does, and says which scheme accepted each or why it was refused. Exits 0\n"
    "only when every package is accepted. A key not given is the one the installer was built\n"
    "with. As on the router, the older scheme is refused wherever /ram/SECURE exists.\n"
    "A bundle's own signature is checked as well; where /ram/SECURE exists it is required.\n"
    "A file with parts the installer does not allow where they stand is refused whole.\n"
    "\n"
    "  --key FILE             Ed25519 public key, SubjectPublicKeyInfo PEM\n"
    "  --legacy-key FILE      older-scheme public key, 64 hex digits\n"
    "  -h, --help             show this help\n";

// "suite-7.2", from the bundle header's block.
std::string bundleName(const PackageLayout& layout) {
    PackageRecord record;
    record.name = layout.bundleName;
    record.version = layout.bundleVersion;
    return recordName(record);
}

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

// The bundle's own line: its signature, or why none is needed here.
bool bundleVerdict(const PackageLayout& layout, const TrustedKeys& keys, std::ostream& out) {
    std::string name = bundleName(layout);
    out << name << ": ";
    if (layout.bundleSignature == kNoPart) {
        if (secureMarkerExists()) {
            out << "refused: it has no bundle signature, and " << kSecureMarker
                << " requires one\n";
            return false;
        }
        out << "no bundle signature: its own parts are not signed\n";
        return true;
    }
    const std::string& payload = layout.bundleSignaturePayload;
    if (bundleSignatureValid(layout.bundleDigest,
                             std::span<const uint8_t>(
                                 reinterpret_cast<const uint8_t*>(payload.data()), payload.size()),
                             keys.ed25519)) {
        out << "bundle signature accepted by Ed25519\n";
        return true;
    }
    out << "refused: its bundle signature does not verify\n";
    return false;
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
    PackageLayout layout;
    std::string problem;
    if (!readLayout(in, layout, problem)) {
        fail("%s %s", files[0].c_str(), problem.c_str());
        return kStatusFailed;
    }
    size_t accepted = 0;
    for (const MemberLayout& member : layout.members) {
        PackageRecord record;
        record.name = member.name;
        record.version = member.version;
        out << recordName(record) << ": ";
        if (member.signature == kNoPart) {
            out << "refused: it has no signature part\n";
            continue;
        }
        const SignatureCheck check = checkSignatureBytes(
            record, member.digest, member.sha256,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(member.signaturePayload.data()),
                                     member.signaturePayload.size()),
            keys, true);
        // The installer refuses a name its database cannot hold, whatever the signature.
        if (const char* nameProblem = packageNameProblem(member.name)) {
            out << "refused: package name " << shown(member.name) << " " << nameProblem << "\n";
            continue;
        }
        if (check.accepted() != SignatureScheme::None) ++accepted;
        out << verdict(check, member.hasMarker) << "\n";
    }
    bool fileAccepted = accepted == layout.members.size();
    if (layout.isBundle && layout.bundleHeader < layout.parts.size()) {
        if (!bundleVerdict(layout, keys, out)) fileAccepted = false;
    }
    // The installer takes no file whose parts it cannot take whole, signed or not.
    const std::string& damage = !layout.damage.empty() ? layout.damage : layout.misplaced;
    if (!damage.empty()) {
        out << files[0] << ": refused: " << damage << "\n";
        fileAccepted = false;
    }
    if (layout.members.empty()) {
        fail("%s carries no package", files[0].c_str());
        return kStatusFailed;
    }
    return fileAccepted ? kStatusOk : kStatusFailed;
}

}  // namespace vlpkg
