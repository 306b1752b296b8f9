#include <fstream>

#include "vlpkg/command_options.h"
#include "vlpkg/commands.h"
#include "vlpkg/package_signer.h"
#include "vlpkg/signing_key.h"
#include "vlpkg/tool_report.h"

namespace vlpkg {
namespace {

const char* const kSignHelp =
    "usage: vlpkg sign --key ED25519-PRIVATE.pem IN OUT\n"
    "Signs every package in IN, and every member of a bundle, and writes the result to OUT\n"
    "(which may be IN itself). The digest is SHA-256: a marker part is put before each package\n"
    "header that lacks one. Each signature part is 132 bytes, the Ed25519 signature of the\n"
    "digest in its last 64; an existing signature part is replaced. A bundle's own header is\n"
    "covered by no signature.\n"
    "\n"
    "  --key FILE             Ed25519 private key, PKCS#8 PEM (see vlpkg keygen)\n"
    "  -h, --help             show this help\n";

}  // namespace

int signCommand(const std::vector<std::string>& args, std::ostream& out) {
    std::string keyPath;
    std::vector<std::string> files;
    OptionCursor cursor(args);
    while (!cursor.atEnd()) {
        const std::string arg = cursor.next();
        if (arg == "-h" || arg == "--help") {
            out << kSignHelp;
            return kStatusOk;
        }
        if (arg == "--key") {
            if (!cursor.value(arg, keyPath)) return kStatusUsage;
        } else if (isOption(arg)) {
            fail("unknown option %s (see vlpkg sign --help)", arg.c_str());
            return kStatusUsage;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) {
        fail("expected IN and OUT (see vlpkg sign --help)");
        return kStatusUsage;
    }
    if (keyPath.empty()) {
        fail("no signing key given (--key)");
        return kStatusUsage;
    }
    KeyHandle key = loadPrivateKey(keyPath);
    if (!key) return kStatusFailed;
    std::ifstream in(files[0], std::ios::binary);
    if (!in) {
        fail("cannot read %s", files[0].c_str());
        return kStatusFailed;
    }
    FileSink sink;
    if (!sink.open(files[1]) || !signPackageFile(in, files[0], sink, key.get()) || !sink.commit())
        return kStatusFailed;
    return kStatusOk;
}

}  // namespace vlpkg
