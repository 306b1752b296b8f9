// Changes an attacker can make to signed packages and bundles: the attacks known to have worked,
// each through the built binary, and a sweep of bit flips and cuts in-process. Whatever is
// accepted must lie in a byte that nothing reads: the older half of an Ed25519-signed signature
// part, or the text of a closing architecture part.
#include <iostream>
#include <sstream>

#include "install/install.h"
#include "install_fixture.h"
#include "resolve/resolution.h"
#include "support/package_bytes.h"

using namespace velmara;

namespace installtest {
namespace {

using testsupport::RawPart;

const char* const kSecure = "/ram/SECURE";

vlpkg::BundleSpec suite(const std::string& versionText, std::vector<vlpkg::PackageSpec> members) {
    vlpkg::BundleSpec description;
    description.name = "suite";
    description.version = version(versionText);
    description.buildTime = 1700000000;
    description.members = std::move(members);
    return description;
}

// The parts of `bytes` from index `from` to `to` (exclusive) replaced by `insert`, the outer
// length fixed up: files an attacker can assemble from signed pieces.
std::string splice(const std::string& bytes, size_t from, size_t to, const std::string& insert) {
    const std::vector<RawPart> split = testsupport::parts(bytes);
    const size_t begin = from < split.size() ? split[from].offset : bytes.size();
    const size_t end = to < split.size() ? split[to].offset : bytes.size();
    std::string out = bytes.substr(0, begin) + insert + bytes.substr(end);
    out.replace(4, 4, testsupport::little32(uint32_t(out.size() - 8)));
    return out;
}

std::string part(uint16_t type, const std::string& payload) {
    return testsupport::little16(type) + testsupport::little32(uint32_t(payload.size())) + payload;
}

size_t indexOf(const std::string& bytes, uint16_t type, size_t nth = 0) {
    const std::vector<RawPart> split = testsupport::parts(bytes);
    for (size_t i = 0; i < split.size(); ++i)
        if (split[i].type == type && nth-- == 0) return i;
    ADD_FAILURE() << "no part " << type;
    return split.size();
}

// A byte of the file: the offset of the `field`-th byte of the i-th part's payload.
size_t payloadByte(const std::string& bytes, size_t index, size_t field) {
    return size_t(testsupport::parts(bytes)[index].offset) + 6 + field;
}

class TamperTest : public InstallFixture {};

TEST_F(TamperTest, KnownAttacksAreRefusedAndChangeNothing) {
    // Installed: hello 1.0, net 1.0 on its own, and bundle suite 7.2 of net 1.0 and web 1.0.
    // The attacks start from suite 7.3, which carries the same two members: both are passed
    // over as already installed.
    vlpkg::PackageSpec net = package("net", "1.0", {{"lib/net", "n1"}});
    net.depends = {{"hello", 0, 0, 0}};
    const vlpkg::PackageSpec web = package("web", "1.0", {{"www/web", "w1"}});
    installed(signedPackage(package("hello", "1.0", {{"bin/hello", "one"}})));
    installed(signedPackage(net));
    installed(signedBundle(suite("7.2", {net, web})));
    const std::string next = signedBundle(suite("7.3", {net, web}));
    const std::string single = signedPackage(package("hello", "2.0", {{"bin/hello", "two"}}));
    const size_t bundleSignature = indexOf(next, 26);
    const std::string unsignedNext = splice(next, bundleSignature, bundleSignature + 1, "");

    // 1: the passed-over member's major version set to 255 and its dependency renamed, in a
    // bundle without the signature that would give it away.
    // Renamed alone, the member is still passed over, and only its signature tells.
    const size_t netHeader = indexOf(next, 1);
    std::string renamedDependency = unsignedNext;
    renamedDependency[payloadByte(renamedDependency, netHeader + 1, 2)] = 'x';
    std::string member = renamedDependency;
    member[payloadByte(member, netHeader, 19)] = char(255);
    // 2: an unsigned header of the attacker's around the signed web member alone; the header
    // renamed; a disabled-members list forced in.
    const std::string head = testsupport::bundleBytes(suite("7.9", {}));
    const std::vector<RawPart> split = testsupport::parts(next);
    const size_t webFrom = split[indexOf(next, 25, 1)].offset;
    std::string rewrapped = head + next.substr(webFrom, split[bundleSignature].offset - webFrom);
    rewrapped.replace(4, 4, testsupport::little32(uint32_t(rewrapped.size() - 8)));
    std::string renamed = next;
    renamed[payloadByte(next, 0, 0)] = 'S';
    const size_t image = indexOf(next, 21);
    const std::string disabling =
        splice(next, image + 1, image + 1, part(20, testsupport::entryList({{"web"}})));
    // 4: the alternative magic.
    std::string alternative = single;
    alternative.replace(0, 4, "\xfb\x0f\x10\xa1");

    const std::string broken = "ERROR: installation of suite-7.3 failed: broken package\n";
    const std::string brokenSingle = "ERROR: installation of hello-2.0 failed: broken package\n";
    struct Attack {
        const char* what;
        std::string bytes;
        bool secure;
        int status;
        std::string messages;
    };
    const Attack attacks[] = {
        // Another version of an installed member is never passed over: it stops the bundle.
        {"tampered member passed over", member, false, 2,
         "ERROR: can not install net-255.0: xello is not installed, but is required\n"},
        {"tampered member passed over, same version", renamedDependency, false, 2, broken},
        {"unsigned bundle where /ram/SECURE is", unsignedNext, true, 2, broken},
        {"new header around a signed member", rewrapped, true, 2,
         "ERROR: installation of suite-7.9 failed: broken package\n"},
        {"renamed bundle header", renamed, false, 2,
         "ERROR: installation of Suite-7.3 failed: broken package\n"},
        {"forced disabled-members list", disabling, false, 2, broken},
        {"unknown part after the signature", splice(single, 99, 99, part(77, "x")), false, 1,
         brokenSingle},
        {"note after the signature", splice(single, 99, 99, part(23, "note")), false, 1,
         brokenSingle},
        {"garbage after the signature", splice(single, 99, 99, part(0x5a5a, std::string(994, 'Z'))),
         false, 1, brokenSingle},
        {"part between the marker and the header", splice(single, 1, 1, part(24, "t")), false, 1,
         brokenSingle},
        {"alternative magic", alternative, false, 1,
         "ERROR: can not install hello-2.0: hello is installed, and a package with the "
         "alternative magic would not replace it\n"},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.what);
        if (attack.secure) sandbox.writeFile(kSecure, "");
        const std::string before = snapshot();
        expectUntouched(install(attack.bytes), before, attack.status, attack.messages);
        std::remove(sandbox.path(kSecure).c_str());
    }
    // Untouched, they install: a bundle without its signature where nothing asks for one.
    EXPECT_EQ(install(unsignedNext).status, 0);
    sandbox.writeFile(kSecure, "");
    EXPECT_EQ(install(next, {"--reinstall"}).status, 0);
    EXPECT_EQ(install(single).status, 0);
}

// Flips and cuts of one file, tried in-process inside the sandbox with the installed set as
// it is: the offsets of those accepted, as "flip OFFSET" or "cut LENGTH" lines.
struct Sweep {
    bool whole = false;  // the file as it is was accepted
    size_t flips = 0;
    size_t cuts = 0;
    std::vector<size_t> acceptedFlips;
    std::vector<size_t> acceptedCuts;
};

class TamperSweepTest : public InstallFixture {
  protected:
    // Every byte of the headers (outer header, part headers, header blocks, lists, texts) gets
    // bits flipped, two in turn (one under an emulator, to keep the run short); the payloads of
    // images, file containers and signatures every seventh byte, one bit. Cuts fall around every
    // part boundary, with the outer length fixed up.
    Sweep sweep(const std::string& bytes, size_t from, bool cutting) {
        const size_t bitsPerByte = std::string(TARGET_EMULATOR).empty() ? 2 : 1;
        std::vector<std::pair<size_t, uint8_t>> flips;
        const auto flipHeaderByte = [&](size_t at) {
            for (size_t k = 0; k < bitsPerByte; ++k)
                flips.emplace_back(at, uint8_t(1 << ((at + k * 4) % 8)));
        };
        std::vector<size_t> cuts;
        const std::vector<RawPart> split = testsupport::parts(bytes);
        for (size_t at = from; at < 8; ++at) flipHeaderByte(at);
        for (const RawPart& p : split) {
            if (p.offset < from) continue;
            const bool bulk = p.type == 4 || p.type == 9 || p.type == 21 || p.type == 26;
            for (size_t at = p.offset; at < p.offset + 6 + p.payload.size(); ++at) {
                const size_t field = at - p.offset;
                if (!bulk || field < 6) {
                    flipHeaderByte(at);
                } else if (field % 7 == 0) {
                    flips.emplace_back(at, uint8_t(1 << (field % 8)));
                }
            }
            for (size_t cut = p.offset > 3 ? p.offset - 3 : 0; cut < p.offset + 8; ++cut)
                if (cutting && cut > 8 && cut < bytes.size()) cuts.push_back(cut);
        }
        if (cutting) cuts.push_back(bytes.size() - 1);

        const testsupport::RunResult run = testsupport::runInRoot(sandbox, [&] {
            Installer& installer = Installer::instance();
            installer.console = &std::cout;
            boardMinimumSource = [] { return uint32_t(0); };
            const auto accepted = [&](std::string changed) {
                installer.packages.clear();
                if (!installer.loadDatabase(true, "i386")) return false;
                std::istringstream in(changed);
                Manifest manifest;
                const int result = installFromStream(installer, manifest, in, 0, ChoiceMap{},
                                                     nullptr, nullptr, nullptr);
                manifest.discard();
                return result == kInstallDone;
            };
            if (accepted(bytes)) std::cout << "whole 0\n";
            for (const auto& [at, mask] : flips) {
                std::string changed = bytes;
                changed[at] = char(changed[at] ^ mask);
                if (accepted(changed)) std::cout << "flip " << at << "\n";
            }
            for (size_t cut : cuts) {
                std::string changed = bytes.substr(0, cut);
                changed.replace(4, 4, testsupport::little32(uint32_t(cut - 8)));
                if (accepted(changed)) std::cout << "cut " << cut << "\n";
            }
            installer.packages.clear();
            return 0;
        });
        EXPECT_EQ(run.status, 0) << run.err;
        Sweep result;
        result.flips = flips.size();
        result.cuts = cuts.size();
        std::istringstream lines(run.out);
        std::string kind;
        size_t at = 0;
        while (lines >> kind >> at) {
            if (kind == "whole")
                result.whole = true;
            else
                (kind == "flip" ? result.acceptedFlips : result.acceptedCuts).push_back(at);
        }
        return result;
    }

    // Every accepted change lies where nothing reads: the first 68 bytes of a signature part
    // whose Ed25519 half decides, or a closing architecture part, which a cut may drop whole.
    void expectHarmless(const std::string& what, const std::string& bytes, const Sweep& result) {
        const std::vector<RawPart> split = testsupport::parts(bytes);
        const auto harmlessByte = [&](size_t at) {
            for (const RawPart& p : split) {
                const size_t payload = p.offset + 6;
                if (p.type == 9 && at >= payload && at < payload + 68) return true;
                if (&p == &split.back() && p.type == 16 && at >= payload) return true;
            }
            return false;
        };
        for (size_t at : result.acceptedFlips) EXPECT_TRUE(harmlessByte(at)) << what << " flip " << at;
        for (size_t cut : result.acceptedCuts)
            EXPECT_TRUE(split.back().type == 16 && cut == split.back().offset)
                << what << " cut " << cut;
        std::cout << what << ": " << result.flips << " flips, " << result.acceptedFlips.size()
                  << " accepted; " << result.cuts << " cuts, " << result.acceptedCuts.size()
                  << " accepted\n";
    }
};

TEST_F(TamperSweepTest, NoChangeToWhatDecidesAnInstallationIsAccepted) {
    installed(signedPackage(package("hello", "1.0", {{"bin/hello", "one"}})));
    vlpkg::PackageSpec net = package("net", "1.0", {{"lib/net", "n1"}});
    net.depends = {{"hello", 0, 0, 0}};
    installed(signedPackage(net));

    vlpkg::PackageSpec hello = package("hello", "2.0", {{"bin/hello", "two"}});
    hello.provides = {{"greeter", 0, 0, 1}};
    hello.image = vlpkg::Content{"img"};
    std::string single = signedPackage(hello);
    testsupport::appendPart(single, 16, "i386");
    vlpkg::BundleSpec description = suite("7.2", {net, package("web", "1.0", {{"www/w", "w"}})});
    description.disabledMembers = {{"web", 0, 0, 0}};
    std::string bundle = signedBundle(description);
    testsupport::appendPart(bundle, 16, "i386");
    // Without its signature a bundle's own parts are open; its members still are not.
    const std::string open =
        splice(bundle, indexOf(bundle, 26), indexOf(bundle, 26) + 1, "");

    const struct {
        const char* what;
        const std::string& bytes;
        bool secure;
        size_t from;  // where the flips start
    } files[] = {
        {"package", single, true, 0},
        {"bundle", bundle, true, 0},
        // Which members such a bundle carries is its own parts' business; what each is, not.
        {"members of a bundle without its signature", open, false,
         size_t(testsupport::parts(open)[indexOf(open, 25)].offset)},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.what);
        if (file.secure) sandbox.writeFile(kSecure, "");
        const Sweep result = sweep(file.bytes, file.from, file.from == 0);
        std::remove(sandbox.path(kSecure).c_str());
        expectHarmless(file.what, file.bytes, result);
        // The sweep is not vacuous: the untouched file installs.
        EXPECT_TRUE(result.whole);
    }
}

}  // namespace
}  // namespace installtest
