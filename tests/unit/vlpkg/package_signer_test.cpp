// Signing: where the marker and the signature go, what the digest covers, and what a second
// signing keeps.
#include "vlpkg/package_signer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_packages.h"
#include "vlpkg/commands.h"
#include "vlpkg/signing_key.h"

using namespace velmara;

namespace {

using testsupport::parts;
using testsupport::RawPart;

vlpkg::PackageSpec sample() {
    vlpkg::PackageSpec description =
        testsupport::simplePackage("tool", "7.1", {{"bin/tool", "binary"}, {"etc/tool", "cfg"}});
    description.architecture = "powerpc";
    description.depends = {{"base", 0x07006600, 0, 0}};
    return description;
}

// The signature part of a signed file, by index among the signature parts.
std::string signaturePayload(const std::string& package, size_t index = 0) {
    for (const RawPart& part : parts(package)) {
        if (part.type == 9 && index-- == 0) return part.payload;
    }
    ADD_FAILURE() << "no signature part";
    return {};
}

TEST(PackageSignerTest, MarkerBeforeHeaderAndSignatureAfterTheFiles) {
    const std::string plain = testsupport::packageBytes(sample());
    const std::string signedFile = testsupport::signedBytes(plain);
    const std::vector<RawPart> split = parts(signedFile);
    ASSERT_EQ(testsupport::partTypes(split), (std::vector<uint16_t>{25, 1, 16, 3, 4, 9}));
    EXPECT_EQ(split[0].payload, "");
    EXPECT_EQ(split[5].payload.size(), 132u);
    EXPECT_EQ(split[5].payload.substr(0, 68), std::string(68, '\0'));
    // Everything else is carried byte for byte.
    EXPECT_EQ(signedFile.substr(split[1].offset, split[5].offset - split[1].offset),
              plain.substr(8));
    EXPECT_EQ(testsupport::verifyEd25519(signedFile), std::vector<bool>{true});
}

TEST(PackageSignerTest, DigestCoversExactlyHeaderPartToSignaturePartHeader) {
    const std::string signedFile = testsupport::signedBytes(testsupport::packageBytes(sample()));
    const std::vector<RawPart> split = parts(signedFile);
    ASSERT_EQ(split.size(), 6u);
    const std::string signature = split[5].payload.substr(68, 64);
    const uint64_t header = split[1].offset;
    const uint64_t end = split[5].offset + 6;
    auto covers = [&](uint64_t from, uint64_t to) {
        return testsupport::ed25519ValidOverSha256(signedFile.substr(from, to - from), signature);
    };
    EXPECT_TRUE(covers(header, end));
    EXPECT_FALSE(covers(split[0].offset, end));  // the marker is not covered
    EXPECT_FALSE(covers(0, end));                // nor the outer header
    EXPECT_FALSE(covers(header, end - 6));       // the signature part's header is
    EXPECT_FALSE(covers(header, end + 68));      // its payload is not
}

TEST(PackageSignerTest, SigningAgainReplacesTheSignature) {
    const std::string once = testsupport::signedBytes(testsupport::packageBytes(sample()));
    // Ed25519 is deterministic: the same key gives the same file.
    EXPECT_EQ(testsupport::signedBytes(once), once);

    testsupport::TempDir dir;
    testsupport::ConsoleCapture console;
    std::ostringstream out;
    ASSERT_EQ(vlpkg::runTool({"keygen", "-o", dir.path()}, out), 0) << console.text();
    const std::string other = testsupport::signedBytes(once, dir.file("ed25519-private.pem"));
    EXPECT_EQ(other.size(), once.size());
    EXPECT_EQ(testsupport::partTypes(parts(other)), testsupport::partTypes(parts(once)));
    EXPECT_EQ(testsupport::verifyEd25519(other), std::vector<bool>{false});
    EXPECT_EQ(testsupport::verifyEd25519(other, dir.file("ed25519-public.pem")),
              std::vector<bool>{true});
}

TEST(PackageSignerTest, OlderSchemeHalfIsKeptOnlyWhileItsBytesStillMatch) {
    const std::string legacy = std::string(20, '\0') + std::string(48, '\x5a');
    // Signed already, 132 bytes with a marker: the signed bytes stay the same, so does the half.
    std::string full = testsupport::signedBytes(testsupport::packageBytes(sample()));
    const RawPart signature = parts(full).back();
    full.replace(signature.offset + 6, 68, legacy);
    std::string resigned = testsupport::signedBytes(full);
    EXPECT_EQ(signaturePayload(resigned).substr(0, 68), legacy);
    EXPECT_EQ(testsupport::verifyEd25519(resigned), std::vector<bool>{true});

    // A 68-byte signature without a marker: both the hash and the part length change.
    vlpkg::PackageSpec description = sample();
    std::string old = testsupport::packageBytes(description);
    testsupport::appendPart(old, 9, legacy);
    resigned = testsupport::signedBytes(old);
    EXPECT_EQ(testsupport::partTypes(parts(resigned)), (std::vector<uint16_t>{25, 1, 16, 3, 4, 9}));
    EXPECT_EQ(signaturePayload(resigned),
              std::string(132 - 64, '\0') + signaturePayload(resigned).substr(68));
    EXPECT_EQ(testsupport::verifyEd25519(resigned), std::vector<bool>{true});
}

TEST(PackageSignerTest, TrailingPartsStayAfterTheSignature) {
    std::string plain = testsupport::packageBytes(sample());
    testsupport::appendPart(plain, 16, "powerpc");
    testsupport::appendPart(plain, 3, "");
    const std::string signedFile = testsupport::signedBytes(plain);
    EXPECT_EQ(testsupport::partTypes(parts(signedFile)),
              (std::vector<uint16_t>{25, 1, 16, 3, 4, 9, 16, 3}));
    EXPECT_EQ(testsupport::verifyEd25519(signedFile), std::vector<bool>{true});

    // Without a file container the signature goes after the image, else at the end.
    vlpkg::PackageSpec imageOnly = sample();
    imageOnly.withFiles = false;
    imageOnly.files.clear();
    imageOnly.image = vlpkg::Content{.bytes = "img", .hostPath = {}};
    std::string withImage = testsupport::packageBytes(imageOnly);
    testsupport::appendPart(withImage, 16, "powerpc");
    EXPECT_EQ(testsupport::partTypes(parts(testsupport::signedBytes(withImage))),
              (std::vector<uint16_t>{25, 1, 16, 3, 21, 9, 16}));
    imageOnly.image.reset();
    EXPECT_EQ(testsupport::partTypes(
                  parts(testsupport::signedBytes(testsupport::packageBytes(imageOnly)))),
              (std::vector<uint16_t>{25, 1, 16, 3, 9}));
}

TEST(PackageSignerTest, EveryBundleMemberIsSignedOverItsOwnPartsOnly) {
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = 0x07026600;
    bundle.architecture = "powerpc";
    bundle.disabledMembers = {{"extra", 0, 0, 0}};
    bundle.members = {sample(), testsupport::simplePackage("extra", "7.2", {{"x", "y"}})};
    bundle.members[1].sha256Marker = true;
    std::string plain = testsupport::bundleBytes(bundle);
    testsupport::appendPart(plain, 16, "powerpc");  // the bundle's closing architecture part
    const std::string signedFile = testsupport::signedBytes(plain);
    const std::vector<RawPart> split = parts(signedFile);
    EXPECT_EQ(testsupport::partTypes(split),
              (std::vector<uint16_t>{18, 16, 21, 20, 25, 1, 16, 3, 4, 9, 25, 1, 4, 9, 26, 16}));
    EXPECT_EQ(testsupport::verifyEd25519(signedFile), (std::vector<bool>{true, true}));
    EXPECT_TRUE(testsupport::bundleSignatureValid(signedFile));
    // The bundle's own parts come through unchanged and are covered by the bundle signature
    // alone; a change in a member spoils its own signature and the bundle's.
    EXPECT_EQ(signedFile.substr(8, split[4].offset - 8), plain.substr(8, split[4].offset - 8));
    std::string renamed = signedFile;
    renamed[split[0].offset + 6] = 'S';
    EXPECT_EQ(testsupport::verifyEd25519(renamed), (std::vector<bool>{true, true}));
    EXPECT_FALSE(testsupport::bundleSignatureValid(renamed));
    std::string changed = signedFile;
    changed[split[8].offset + 8] ^= 0x01;
    EXPECT_EQ(testsupport::verifyEd25519(changed), (std::vector<bool>{false, true}));
    EXPECT_FALSE(testsupport::bundleSignatureValid(changed));
}

// What the installer would refuse once signed: a part before the header, a second package.
std::string twoPackages(bool strayFirst) {
    vlpkg::StringSink sink;
    uint64_t start;
    EXPECT_TRUE(vlpkg::beginOuterHeader(sink, vlpkg::kPackageMagic, start));
    bool written = !strayFirst || vlpkg::writePart(sink, 77, "x", 1);
    written = written && vlpkg::writePackageParts(sink, testsupport::simplePackage("one", "7.1"));
    written = written &&
              (strayFirst || vlpkg::writePackageParts(sink, testsupport::simplePackage("two", "7.1")));
    EXPECT_TRUE(written);
    EXPECT_TRUE(vlpkg::finishOuterHeader(sink, start));
    return sink.bytes;
}

TEST(PackageSignerTest, RefusesWhatItCannotSignWhole) {
    const std::string plain = testsupport::packageBytes(sample());
    const std::pair<std::string, std::string> cases[] = {
        {twoPackages(true), "ERROR: the signed file would be refused: part 1, of type 77, cannot "
                            "stand before the package's header"},
        {twoPackages(false), "ERROR: the signed file would be refused: part 5, of type 25, cannot "
                             "stand after the package's signature"},
        {plain.substr(0, plain.size() - 1),
         "ERROR: in is damaged: the file ends inside its last part"},
        {plain + "xyz", "ERROR: in is damaged: 3 stray bytes after the last part"},
        {"\x1e\xf1\xd0\xba", "ERROR: in is shorter than a package's outer header"},
        {std::string("PK\x03\x04\0\0\0\0", 8),
         "ERROR: in is not a package file (magic 0x04034b50)"},
        {std::string("\x1e\xf1\xd0\xba\x06\0\0\0\x10\0\0\0\0\0", 14),
         "ERROR: in has no header part"},
        {std::string("\x1e\xf1\xd0\xba\0\0\0\0", 8), "ERROR: in has no header part"},
    };
    vlpkg::KeyHandle key = vlpkg::loadPrivateKey(testsupport::developmentPrivateKey());
    ASSERT_TRUE(key);
    for (const auto& [input, message] : cases) {
        testsupport::ConsoleCapture console;
        std::istringstream in(input);
        vlpkg::StringSink out;
        EXPECT_FALSE(vlpkg::signPackageFile(in, "in", out, key.get())) << message;
        EXPECT_EQ(console.text().substr(0, message.size()), message) << console.text();
    }
    // A declared size that disagrees with the file: an incomplete download, say.
    std::string wrongLength = plain;
    wrongLength[4] ^= 0x01;
    testsupport::ConsoleCapture console;
    std::istringstream in(wrongLength);
    vlpkg::StringSink out;
    EXPECT_FALSE(vlpkg::signPackageFile(in, "in", out, key.get()));
    EXPECT_NE(console.text().find("the outer header declares"), std::string::npos);
}

TEST(PackageSignerTest, AlternativeMagicIsKept) {
    vlpkg::PackageSpec description = sample();
    description.alternativeMagic = true;
    const std::string signedFile = testsupport::signedBytes(testsupport::packageBytes(description));
    EXPECT_EQ(signedFile.substr(0, 4), "\xfb\x0f\x10\xa1");
    EXPECT_EQ(testsupport::verifyEd25519(signedFile), std::vector<bool>{true});
}

TEST(SignCommandTest, SignsAFileInPlaceAndReportsBadKeys) {
    testsupport::TempDir dir;
    dir.write("p.vlp", testsupport::packageBytes(sample()));
    std::ostringstream out;
    {
        testsupport::ConsoleCapture console;
        EXPECT_EQ(vlpkg::runTool({"sign", "--key", testsupport::developmentPrivateKey(),
                                  dir.file("p.vlp"), dir.file("p.vlp")},
                                 out),
                  0)
            << console.text();
        EXPECT_EQ(console.text(), "");
    }
    EXPECT_EQ(testsupport::verifyEd25519(dir.read("p.vlp")), std::vector<bool>{true});

    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"sign", dir.file("p.vlp"), dir.file("q.vlp")},
         "ERROR: no signing key given (--key, --legacy-key)\n"},
        {{"sign", "--key", testsupport::developmentPrivateKey(), dir.file("p.vlp")},
         "ERROR: expected IN and OUT (see vlpkg sign --help)\n"},
        {{"sign", "--key", testsupport::developmentPublicKey(), dir.file("p.vlp"),
          dir.file("q.vlp")},
         "ERROR: " + testsupport::developmentPublicKey() + " holds no private key"},
        {{"sign", "--key", testsupport::developmentPrivateKey(), dir.file("none"),
          dir.file("q.vlp")},
         "ERROR: cannot read " + dir.file("none") + "\n"},
    };
    for (const auto& [args, message] : failures) {
        testsupport::ConsoleCapture console;
        EXPECT_NE(vlpkg::runTool(args, out), 0) << message;
        EXPECT_EQ(console.text().substr(0, message.size()), message);
        EXPECT_FALSE(std::ifstream(dir.file("q.vlp")).good()) << message;
    }
}

}  // namespace
