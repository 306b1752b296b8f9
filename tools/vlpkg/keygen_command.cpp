#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/legacy_key.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

const char* const kKeygenHelp =
    "usage: vlpkg keygen [-o DIR] [--force] [--legacy]\n"
    "Makes a new Ed25519 key pair for signing packages: DIR/ed25519-private.pem (PKCS#8,\n"
    "readable by its owner only) and DIR/ed25519-public.pem (SubjectPublicKeyInfo).\n"
    "With --legacy it makes a key pair of the older signature scheme instead:\n"
    "DIR/legacy-private.hex (the secret scalar, readable by its owner only) and\n"
    "DIR/legacy-public.hex (the public u-coordinate), 64 hex digits each, little-endian.\n"
    "\n"
    "  -o, --output DIR       where to write the two files (default: the current directory);\n"
    "                         a missing DIR is made, readable by its owner only\n"
    "  --force                replace existing key files\n"
    "  --legacy               make an older-scheme key pair\n"
    "  -h, --help             show this help\n";

constexpr const char* kPrivateName = "ed25519-private.pem";
constexpr const char* kPublicName = "ed25519-public.pem";
constexpr const char* kLegacyPrivateName = "legacy-private.hex";
constexpr const char* kLegacyPublicName = "legacy-public.hex";

// Writes a whole file; without `replace` an existing file is an error, so a key is never
// overwritten by accident. The mode is set at creation: a secret key is never readable by
// others, not even for a moment.
bool writeNewFile(const std::string& path, const std::string& contents, mode_t mode, bool replace) {
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return fail("cannot create %s: %s", temporary.c_str(), std::strerror(errno));
    const bool written = fchmod(fd, mode) == 0 &&
                         write(fd, contents.data(), contents.size()) == ssize_t(contents.size()) &&
                         fsync(fd) == 0;
    const int error = errno;
    if (close(fd) != 0 || !written) {
        unlink(temporary.c_str());
        return fail("cannot write %s: %s", path.c_str(), std::strerror(written ? errno : error));
    }
    // link() refuses an existing target atomically; rename() replaces it.
    const bool placed = replace ? rename(temporary.c_str(), path.c_str()) == 0
                                : link(temporary.c_str(), path.c_str()) == 0;
    const int placeError = errno;
    unlink(temporary.c_str());
    if (!placed) {
        if (placeError == EEXIST)
            return fail("%s exists already (use --force to replace it)", path.c_str());
        return fail("cannot create %s: %s", path.c_str(), std::strerror(placeError));
    }
    return true;
}

// Makes DIR and any missing parent. A directory made here holds a secret key, so only its
// owner may look into it; parents get the usual mode.
bool makeKeyDirectory(const std::string& directory) {
    struct stat info {};
    if (stat(directory.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        return fail("%s is not a directory", directory.c_str());
    }
    for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string part = directory.substr(0, slash);
        const bool last = slash == std::string::npos || slash + 1 == directory.size();
        if (mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST)
            return fail("cannot create directory %s: %s", part.c_str(), std::strerror(errno));
        if (last) return true;
    }
}

}  // namespace

int keygenCommand(const std::vector<std::string>& args, std::ostream& out) {
    std::string directory = ".";
    bool replace = false;
    bool legacy = false;
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << kKeygenHelp;
            return kStatusOk;
        }
        if (arg == "-o" || arg == "--output") {
            if (!cursor.value(arg, directory)) return kStatusUsage;
        } else if (arg == "--force") {
            if (!cursor.noValue(arg)) return kStatusUsage;
            replace = true;
        } else if (arg == "--legacy") {
            if (!cursor.noValue(arg)) return kStatusUsage;
            legacy = true;
        } else {
            fail("unexpected argument %s (see vlpkg keygen --help)", arg.c_str());
            return kStatusUsage;
        }
    }
    if (!makeKeyDirectory(directory)) return kStatusFailed;
    std::string privateText, publicText;
    if (legacy) {
        LegacySecret secret;
        if (!generateLegacySecret(secret)) return kStatusFailed;
        privateText = keyHex(secret) + "\n";
        publicText = keyHex(legacyPublicKey(secret)) + "\n";
        OPENSSL_cleanse(secret.data(), secret.size());
    } else {
        KeyHandle key = generateKey();
        if (!key || !privateKeyPem(key.get(), privateText) || !publicKeyPem(key.get(), publicText))
            return kStatusFailed;
    }
    const std::string privatePath = directory + "/" + (legacy ? kLegacyPrivateName : kPrivateName);
    const std::string publicPath = directory + "/" + (legacy ? kLegacyPublicName : kPublicName);
    const bool privateWritten = writeNewFile(privatePath, privateText, 0600, replace);
    OPENSSL_cleanse(privateText.data(), privateText.size());
    if (!privateWritten) return kStatusFailed;
    if (!writeNewFile(publicPath, publicText, 0644, replace)) {
        // Half a pair is worse than none: the next run would refuse to overwrite it.
        unlink(privatePath.c_str());
        return kStatusFailed;
    }
    out << "wrote " << privatePath << " and " << publicPath << "\n";
    return kStatusOk;
}

}  // namespace vlpkg
