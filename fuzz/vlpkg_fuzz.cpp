// Feeds arbitrary bytes to the packaging tool's readers: the inspector (every part decoded,
// the file container inflated and walked, both printed forms) and the signer (the part map,
// the rewritten copy and the digests read back from it). What the signer writes must read back
// whole, signed, and accepted by the same checks that verify uses.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "package/signature.h"
#include "pkgdb/installer.h"
#include "vlpkg/byte_sink.h"
#include "vlpkg/package_inspector.h"
#include "vlpkg/package_layout.h"
#include "vlpkg/package_signer.h"
#include "vlpkg/signing_key.h"

using namespace velmara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vlpkg::KeyHandle key = vlpkg::generateKey();
    static const TrustedKeys keys = [] {
        TrustedKeys k;
        if (!vlpkg::rawPublicKey(key.get(), k.ed25519)) __builtin_trap();
        return k;
    }();
    static std::ostringstream console;
    Installer::instance().console = &console;
    Installer::instance().quiet = 1;  // the signer's messages would pile up otherwise

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::istringstream in(bytes);
        vlpkg::Inspection inspection;
        std::string problem;
        if (vlpkg::inspectPackage(in, inspection, problem)) {
            std::ostringstream text, json;
            vlpkg::printInspection(inspection, "fuzz", text);
            vlpkg::printInspectionJson(inspection, "fuzz", json);
            (void)vlpkg::isDamaged(inspection);
        }
    }
    {
        std::istringstream in(bytes);
        vlpkg::StringSink out;
        if (vlpkg::signPackageFile(in, "fuzz", out, key.get())) {
            // What the signer writes is a whole package file (damage inside a payload is carried
            // over, not repaired) in which every package carries an Ed25519 signature.
            std::istringstream again(out.bytes);
            vlpkg::Inspection inspection;
            std::string problem;
            if (!vlpkg::inspectPackage(again, inspection, problem) || !inspection.damage.empty())
                __builtin_trap();
            for (const vlpkg::PackageSummary& package : inspection.packages) {
                if (!package.signedPart || !(package.isBundle || package.signature.ed25519))
                    __builtin_trap();
            }
            // And the reading that verifies accepts every signature the signer made.
            std::istringstream back(out.bytes);
            vlpkg::PackageLayout layout;
            if (!vlpkg::readLayout(back, layout, problem) || !layout.misplaced.empty())
                __builtin_trap();
            for (const vlpkg::MemberLayout& member : layout.members) {
                PackageRecord record;
                record.name = member.name;
                record.version = member.version;
                const auto* payload =
                    reinterpret_cast<const uint8_t*>(member.signaturePayload.data());
                if (checkSignatureBytes(record, member.digest, member.sha256,
                                        {payload, member.signaturePayload.size()}, keys)
                        .accepted() != SignatureScheme::Ed25519)
                    __builtin_trap();
            }
            const auto* bundle = reinterpret_cast<const uint8_t*>(layout.bundleSignaturePayload.data());
            if (layout.isBundle &&
                !bundleSignatureValid(layout.bundleDigest,
                                      {bundle, layout.bundleSignaturePayload.size()}, keys.ed25519))
                __builtin_trap();
        }
    }
    return 0;
}
