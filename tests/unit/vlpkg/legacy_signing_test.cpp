// "vlpkg sign" with the older scheme's key, alone and with Ed25519, "vlpkg keygen --legacy" and
// "vlpkg verify", run in-process; verify runs in a sandbox root because the older scheme
// depends on "/ram/SECURE".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iostream>
#include <sstream>

#include "package/signature.h"
#include "support/sandbox.h"
#include "support/test_packages.h"
#include "vlpkg/commands.h"
#include "vlpkg/legacy_key.h"
#include "vlpkg/signing_key.h"

using namespace velmara;

namespace {

using testsupport::parts;
using testsupport::runTool;
using testsupport::ToolRun;
using testsupport::RawPart;

std::string developmentKey(const std::string& name) {
    return std::string(SOURCE_DIR) + "/keys/development/" + name;
}

std::string signaturePayload(const std::string& package, size_t index = 0) {
    for (const RawPart& part : parts(package))
        if (part.type == 9 && index-- == 0) return part.payload;
    ADD_FAILURE() << "no signature part";
    return {};
}

// Each signature part of the file checked half by half with the installer's primitives and
// built-in keys: whether the Ed25519 half verifies over a SHA-256 digest, and whether the
// older-scheme half matches the digest's first 20 bytes.
struct Halves {
    bool ed25519;
    bool legacy;
    bool operator==(const Halves&) const = default;
};

std::vector<Halves> installerCheck(const std::string& package) {
    std::istringstream source(package);
    PackageReader reader(source, true);
    reader.wantedTypes = {9};
    std::vector<Halves> results;
    while (reader.nextPart() == 9) {
        PartStreamBuf& parts = reader.parts();
        parts.finishDigest();
        std::vector<uint8_t> payload(parts.partRemaining());
        if (parts.readUnhashed(reinterpret_cast<char*>(payload.data()), payload.size()) !=
                payload.size() ||
            payload.size() < kLegacySignatureSize) {
            results.push_back({false, false});
            continue;
        }
        const auto& digest = parts.digest();
        const bool ed = payload.size() >= kFullSignatureSize && parts.usesSha256() &&
                        ed25519Verify(builtInKeys().ed25519, digest,
                                      std::span<const uint8_t, 64>(payload.data() + 68, 64));
        const bool legacy = legacySignatureMatches(std::span<const uint8_t, 20>(digest.data(), 20),
                                                   std::span<const uint8_t, 68>(payload.data(), 68),
                                                   builtInKeys().legacy);
        results.push_back({ed, legacy});
    }
    return results;
}

// Signs `package` through the command with the given options.
std::string signWith(const std::string& package, std::vector<std::string> options) {
    testsupport::TempDir dir;
    dir.write("in.vlp", package);
    std::vector<std::string> args = {"sign"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(dir.file("in.vlp"));
    args.push_back(dir.file("out.vlp"));
    const ToolRun run = runTool(args);
    EXPECT_EQ(run.status, 0) << run.errors;
    return run.status == 0 ? dir.read("out.vlp") : std::string();
}

const std::vector<std::string> kLegacyOnly = {"--legacy-key", developmentKey("legacy-private.hex")};
const std::vector<std::string> kBoth = {"--key", developmentKey("ed25519-private.pem"),
                                        "--legacy-key", developmentKey("legacy-private.hex")};

std::string samplePackage(const std::string& version = "6.48") {
    return testsupport::packageBytes(
        testsupport::simplePackage("tool", version, {{"bin/tool", "binary"}}));
}

TEST(LegacySigning, AloneItSignsTheOwnDigestInA68BytePart) {
    const std::string plain = samplePackage();
    const std::string signedFile = signWith(plain, kLegacyOnly);
    // No marker: the digest stays SHA-1; everything before the new part is unchanged.
    EXPECT_EQ(testsupport::partTypes(parts(signedFile)), (std::vector<uint16_t>{1, 4, 9}));
    EXPECT_EQ(signedFile.substr(8, plain.size() - 8), plain.substr(8));
    EXPECT_EQ(signaturePayload(signedFile).size(), 68u);
    EXPECT_EQ(installerCheck(signedFile), (std::vector<Halves>{{false, true}}));
}

TEST(LegacySigning, AloneItKeepsAnExistingPartsLengthAndTail) {
    // An Ed25519 signature stays valid: the signed bytes do not change.
    const std::string ed = testsupport::signedBytes(samplePackage());
    const std::string both = signWith(ed, kLegacyOnly);
    EXPECT_EQ(both.size(), ed.size());
    EXPECT_EQ(signaturePayload(both).substr(68), signaturePayload(ed).substr(68));
    EXPECT_EQ(installerCheck(both), (std::vector<Halves>{{true, true}}));

    // A 100-byte part keeps its 32 extra bytes; one too short for the scheme is replaced.
    for (size_t length : {100u, 40u}) {
        std::string package = samplePackage();
        testsupport::appendPart(package, 9, std::string(length, '\x77'));
        const std::string signedFile = signWith(package, kLegacyOnly);
        const std::string payload = signaturePayload(signedFile);
        EXPECT_EQ(payload.size(), length < 68 ? 68u : length) << length;
        if (length > 68) {
            EXPECT_EQ(payload.substr(68), std::string(length - 68, '\x77'));
        }
        EXPECT_EQ(testsupport::partTypes(parts(signedFile)), (std::vector<uint16_t>{1, 4, 9}));
        EXPECT_EQ(installerCheck(signedFile), (std::vector<Halves>{{false, true}})) << length;
    }
}

TEST(LegacySigning, WithEd25519BothHalvesCoverTheSha256Digest) {
    const std::string signedFile = signWith(samplePackage(), kBoth);
    EXPECT_EQ(testsupport::partTypes(parts(signedFile)), (std::vector<uint16_t>{25, 1, 4, 9}));
    EXPECT_EQ(signaturePayload(signedFile).size(), 132u);
    EXPECT_EQ(installerCheck(signedFile), (std::vector<Halves>{{true, true}}));
    // Signing again with Ed25519 alone keeps the older half, which still matches.
    const std::string again = testsupport::signedBytes(signedFile);
    EXPECT_EQ(again, signedFile);
}

TEST(LegacySigning, EveryBundleMemberGetsItsOwnSignature) {
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = 0x06306600;
    bundle.members = {testsupport::simplePackage("one", "6.48", {{"a", "1"}}),
                      testsupport::simplePackage("two", "6.48", {{"b", "2"}})};
    const std::string signedFile = signWith(testsupport::bundleBytes(bundle), kLegacyOnly);
    EXPECT_EQ(installerCheck(signedFile), (std::vector<Halves>{{false, true}, {false, true}}));
    EXPECT_NE(signaturePayload(signedFile, 0), signaturePayload(signedFile, 1));
}

TEST(LegacySigning, RefusesABadKeyWithoutWriting) {
    testsupport::TempDir dir;
    dir.write("in.vlp", samplePackage());
    dir.write("short.hex", std::string(62, 'a'));
    const ToolRun run = runTool(
        {"sign", "--legacy-key", dir.file("short.hex"), dir.file("in.vlp"), dir.file("out.vlp")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "ERROR: " + dir.file("short.hex") + " is not a key of 64 hex digits\n");
    struct stat info;
    EXPECT_NE(stat(dir.file("out.vlp").c_str(), &info), 0);
    EXPECT_EQ(runTool({"sign", dir.file("in.vlp"), dir.file("out.vlp")}).status, 2);
}

TEST(LegacySigning, KeygenWritesAMatchingPair) {
    testsupport::TempDir dir;
    const ToolRun run = runTool({"keygen", "--legacy", "-o", dir.path()});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.out, "wrote " + dir.file("legacy-private.hex") + " and " +
                           dir.file("legacy-public.hex") + "\n");
    struct stat info;
    ASSERT_EQ(stat(dir.file("legacy-private.hex").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    vlpkg::LegacySecret secret;
    LegacyPublicKey stored;
    ASSERT_TRUE(vlpkg::parseKeyHex(dir.read("legacy-private.hex"), secret));
    ASSERT_TRUE(vlpkg::parseKeyHex(dir.read("legacy-public.hex"), stored));
    EXPECT_EQ(vlpkg::legacyPublicKey(secret), stored);
    // An existing pair is not replaced by accident.
    EXPECT_EQ(runTool({"keygen", "--legacy", "-o", dir.path()}).status, 1);
    EXPECT_EQ(dir.read("legacy-public.hex"), vlpkg::keyHex(stored) + "\n");
}

TEST(LegacySigning, DevelopmentPairMatchesAndBuiltInKeysAreTheConfiguredOnes) {
    vlpkg::LegacySecret secret;
    LegacyPublicKey stored;
    ASSERT_TRUE(vlpkg::loadLegacyKey(developmentKey("legacy-private.hex"), secret));
    ASSERT_TRUE(vlpkg::loadLegacyKey(developmentKey("legacy-public.hex"), stored));
    EXPECT_EQ(vlpkg::legacyPublicKey(secret), stored);
    // The compiled-in keys are those of the files this build was configured with (the
    // development keys by default, a production build's own otherwise).
    vlpkg::KeyHandle key = vlpkg::loadPublicKey(TRUSTED_ED25519_KEY_FILE);
    ASSERT_TRUE(key);
    vlpkg::Ed25519PublicKey raw{};
    ASSERT_TRUE(vlpkg::rawPublicKey(key.get(), raw));
    EXPECT_EQ(builtInKeys().ed25519, raw);
    LegacyPublicKey trustedLegacy;
    ASSERT_TRUE(vlpkg::loadLegacyKey(TRUSTED_LEGACY_KEY_FILE, trustedLegacy));
    EXPECT_EQ(builtInKeys().legacy, trustedLegacy);
}

// "vlpkg verify" on the given files inside a sandbox root (with or without "/ram/SECURE"):
// each run's exit status, then its output.
testsupport::RunResult verifyInSandbox(const std::vector<std::vector<std::string>>& runs,
                                       const std::map<std::string, std::string>& files,
                                       bool secure = false) {
    testsupport::Sandbox sandbox;
    for (const auto& [inside, contents] : files) sandbox.writeFile(inside, contents);
    if (secure) sandbox.writeFile("/ram/SECURE", "");
    return testsupport::runInRoot(sandbox, [&] {
        for (const auto& args : runs) {
            std::vector<std::string> full = {"verify"};
            full.insert(full.end(), args.begin(), args.end());
            std::ostringstream out;
            const int status = vlpkg::runTool(full, out);
            std::cout << status << ' ' << out.str();
        }
        return 0;
    });
}

TEST(VerifyCommand, SaysWhichSchemeAcceptedEachPackage) {
    REQUIRE_ROOT_CHANGE();
    const std::string ed = signWith(samplePackage("7.2"), kBoth);
    std::string tampered = ed;
    tampered[parts(ed)[2].offset + 10] ^= 0x20;  // inside the file container
    const std::string oldLegacy = signWith(samplePackage("6.48"), kLegacyOnly);
    const std::string newLegacy = signWith(samplePackage("6.48.1"), kLegacyOnly);
    const std::string sha1Ed = [&] {
        // An Ed25519 half over a SHA-1 digest is never consulted.
        std::string package = samplePackage("7.2");
        testsupport::appendPart(package, 9, std::string(132, '\0'));
        return package;
    }();
    std::string shortPart = samplePackage("7.2");
    testsupport::appendPart(shortPart, 9, std::string(67, '\0'));
    const std::map<std::string, std::string> files = {
        {"/ed.vlp", ed},
        {"/tampered.vlp", tampered},
        {"/old.vlp", oldLegacy},
        {"/new.vlp", newLegacy},
        {"/unsigned.vlp", samplePackage("7.2")},
        {"/sha1.vlp", sha1Ed},
        {"/short.vlp", shortPart},
        {"/name.vlp",
         signWith(testsupport::packageBytes(testsupport::simplePackage("a/b", "7.2")), kBoth)}};
    const std::vector<std::vector<std::string>> runs = {
        {"/ed.vlp"},       {"/tampered.vlp"}, {"/old.vlp"},   {"/new.vlp"},
        {"/unsigned.vlp"}, {"/sha1.vlp"},     {"/short.vlp"}, {"/name.vlp"}};
    const testsupport::RunResult run = verifyInSandbox(runs, files);
    // Each scheme's result: the one that decides, then what the other half says.
    EXPECT_EQ(run.out,
              "0 tool-7.2: accepted by Ed25519; its older-scheme signature matches, but the "
              "version policy does not allow that scheme for this package\n"
              "1 tool-7.2: refused: its Ed25519 signature does not verify and its older-scheme "
              "signature does not match\n"
              "0 tool-6.48: accepted by the older scheme\n"
              "1 tool-6.48.1: refused: its older-scheme signature matches, but the version policy "
              "does not allow that scheme for this package\n"
              "1 tool-7.2: refused: it has no signature part\n"
              "1 tool-7.2: refused: its digest is SHA-1 (no marker part), so only the older "
              "scheme counts, and that signature does not match\n"
              "1 tool-7.2: refused: its signature part is shorter than 68 bytes\n"
              "1 a/b-7.2: refused: package name \"a/b\" may not contain \"/\"\n")
        << run.err;

    const testsupport::RunResult secure = verifyInSandbox({{"/ed.vlp"}, {"/old.vlp"}}, files, true);
    EXPECT_EQ(secure.out,
              "0 tool-7.2: accepted by Ed25519; its older-scheme signature matches, but "
              "/ram/SECURE turns that scheme off\n"
              "1 tool-6.48: refused: its older-scheme signature matches, but /ram/SECURE turns "
              "that scheme off\n")
        << secure.err;
}

TEST(VerifyCommand, KeysFromTheCommandLine) {
    REQUIRE_ROOT_CHANGE();
    testsupport::TempDir keys;
    ASSERT_EQ(runTool({"keygen", "-o", keys.path()}).status, 0);
    ASSERT_EQ(runTool({"keygen", "--legacy", "-o", keys.path()}).status, 0);
    const std::string package = signWith(samplePackage("6.48"), kBoth);
    const std::string otherEd = keys.read("ed25519-public.pem");
    const std::string otherLegacy = keys.read("legacy-public.hex");
    const testsupport::RunResult run = verifyInSandbox(
        {{"--key", "/other.pem", "/p.vlp"},
         {"--key", "/other.pem", "--legacy-key", "/other.hex", "/p.vlp"},
         {"--legacy-key", "/other.hex", "/p.vlp"}},
        {{"/p.vlp", package}, {"/other.pem", otherEd}, {"/other.hex", otherLegacy}});
    EXPECT_EQ(run.out,
              "0 tool-6.48: accepted by the older scheme; its Ed25519 signature does not verify\n"
              "1 tool-6.48: refused: its Ed25519 signature does not verify and its older-scheme "
              "signature does not match\n"
              "0 tool-6.48: accepted by Ed25519; its older-scheme signature does not match\n")
        << run.err;
}

TEST(VerifyCommand, EveryBundleMemberIsReported) {
    REQUIRE_ROOT_CHANGE();
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = 0x07026600;
    bundle.members = {testsupport::simplePackage("one", "7.2", {{"a", "1"}}),
                      testsupport::simplePackage("two", "7.2", {{"b", "2"}})};
    std::string signedFile = testsupport::signedBytes(testsupport::bundleBytes(bundle));
    // Damage the second member only.
    const std::vector<RawPart> split = parts(signedFile);
    size_t secondHeader = 0;
    for (const RawPart& part : split)
        if (part.type == 1) secondHeader = part.offset;
    signedFile[secondHeader + 6] = 'T';
    // A member signed over SHA-1 behind one with a marker is checked against SHA-256.
    bundle.members.pop_back();
    std::string mixed = testsupport::signedBytes(testsupport::bundleBytes(bundle));
    for (const RawPart& part : parts(signWith(samplePackage(), kLegacyOnly)))
        testsupport::appendPart(mixed, part.type, part.payload);
    const testsupport::RunResult run = verifyInSandbox(
        {{"/b.vlp"}, {"/mixed.vlp"}}, {{"/b.vlp", signedFile}, {"/mixed.vlp", mixed}});
    EXPECT_EQ(run.out,
              "1 one-7.2: accepted by Ed25519\n"
              "Two-7.2: refused: its Ed25519 signature does not verify and its older-scheme "
              "signature does not match\n"
              // The bundle signature binds every member's digest.
              "suite-7.2: refused: its bundle signature does not verify\n"
              "1 one-7.2: accepted by Ed25519\n"
              "tool-6.48: refused: its digest is SHA-256 because a package before it in the file "
              "has a marker part, and its signature does not match that digest\n"
              // A package added behind a signed bundle lies outside every signature.
              "suite-7.2: bundle signature accepted by Ed25519\n"
              "/mixed.vlp: refused: part 8, of type 1, cannot stand after the bundle's last "
              "member\n")
        << run.err;
}

}  // namespace
