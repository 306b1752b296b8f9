// The signature check: which bytes the digest covers, how the payload length is read, Ed25519
// for SHA-256 packages, the older scheme and its version policy, and the "/ram/SECURE" marker.
#include "package/signature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "support/package_bytes.h"
#include "support/sandbox.h"
#include "unit/crypto/bignum_reference.h"
#include "vlpkg/legacy_key.h"

using namespace velmara;

namespace {

using testsupport::PackageBytes;
using testsupport::RunResult;
using testsupport::Sandbox;

constexpr PackageVersion v6_46_8 = 0x062E6608;
constexpr PackageVersion v6_46_9 = 0x062E6609;
constexpr PackageVersion v6_48 = 0x06306600;
constexpr PackageVersion v7_1beta3 = 0x07016203;
constexpr PackageVersion v7_1beta4 = 0x07016204;
constexpr PackageVersion v7_2 = 0x07026600;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// One Ed25519 pair and one older-scheme pair for the whole test program.
struct TestKeys {
    std::unique_ptr<EVP_PKEY, KeyFree> ed25519;
    vlpkg::LegacySecret legacySecret{};
    TrustedKeys trusted;
};

const TestKeys& testKeys() {
    static const TestKeys keys = [] {
        TestKeys made;
        made.ed25519.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        size_t length = made.trusted.ed25519.size();
        EVP_PKEY_get_raw_public_key(made.ed25519.get(), made.trusted.ed25519.data(), &length);
        for (size_t i = 0; i < made.legacySecret.size(); ++i)
            made.legacySecret[i] = uint8_t(i * 37 + 11);
        made.legacySecret[0] &= 0xF8;
        made.legacySecret[31] = (made.legacySecret[31] & 0x7F) | 0x40;
        made.trusted.legacy = vlpkg::legacyPublicKey(made.legacySecret);
        return made;
    }();
    return keys;
}

std::array<uint8_t, 64> ed25519Sign(EVP_PKEY* key, const uint8_t* message, size_t size) {
    std::array<uint8_t, 64> signature{};
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t length = signature.size();
    EXPECT_EQ(EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(context, signature.data(), &length, message, size), 1);
    EVP_MD_CTX_free(context);
    return signature;
}

struct Layout {
    std::string name = "pkg";
    PackageVersion version = v7_2;
    bool sha256 = true;    // a marker part before the header
    size_t payload = 132;  // signature part length
    bool ed25519 = true;   // an Ed25519 signature at 68 (when the payload holds one)
    bool legacy = false;   // an older-scheme signature in the first 68 bytes
    bool damageEd25519 = false;
};

struct Signed {
    std::string bytes;
    size_t headerStart = 0;     // the header part's 6-byte part header
    size_t signatureStart = 0;  // the signature part's 6-byte part header
    size_t signatureEnd = 0;    // end of its payload
};

// A package: [marker] header, architecture, file container, signature, then the trailer
// parts that may follow a signature. The digest is computed here independently of the reader.
Signed makePackage(const Layout& layout) {
    PackageBytes package;
    size_t index = 0;
    if (layout.sha256) {
        package.part(25, "");
        ++index;
    }
    const size_t headerIndex = index;
    package.header(layout.name, layout.version, 1700000000, 0).part(16, "powerpc");
    package.part(4, "container bytes, compressed or not");
    const size_t signatureIndex = index + 3;
    package.part(9, std::string(layout.payload, '\0')).part(16, "powerpc").part(3, "");
    Signed made;
    made.bytes = package.bytes();
    made.headerStart = package.partOffset(headerIndex);
    made.signatureStart = package.partOffset(signatureIndex);
    made.signatureEnd = made.signatureStart + 6 + layout.payload;

    const std::string covered =
        made.bytes.substr(made.headerStart, made.signatureStart + 6 - made.headerStart);
    std::array<uint8_t, 32> digest{};  // a SHA-1 digest leaves the last 12 bytes zero
    unsigned int length = 0;
    EVP_Digest(covered.data(), covered.size(), digest.data(), &length,
               layout.sha256 ? EVP_sha256() : EVP_sha1(), nullptr);

    std::string signature(layout.payload, '\x5A');
    if (layout.legacy && layout.payload >= kLegacySignatureSize) {
        vlpkg::LegacySignature legacy;
        EXPECT_TRUE(vlpkg::legacySign(testKeys().legacySecret,
                                      std::span<const uint8_t, 20>(digest.data(), 20), legacy));
        signature.replace(kLegacyCheckOffset, kLegacySignatureSize - kLegacyCheckOffset,
                          reinterpret_cast<const char*>(legacy.data()) + kLegacyCheckOffset,
                          kLegacySignatureSize - kLegacyCheckOffset);
    }
    if (layout.ed25519 && layout.payload >= kFullSignatureSize) {
        auto ed = ed25519Sign(testKeys().ed25519.get(), digest.data(), digest.size());
        if (layout.damageEd25519) ed[10] ^= 0x04;
        signature.replace(kEd25519SignatureOffset, ed.size(),
                          reinterpret_cast<const char*>(ed.data()), ed.size());
    }
    made.bytes.replace(made.signatureStart + 6, layout.payload, signature);
    return made;
}

// Reads the package up to its signature part and checks it with the test keys.
SignatureCheck check(const std::string& bytes, const Layout& layout,
                     const TrustedKeys& keys = testKeys().trusted) {
    std::istringstream source(bytes);
    PackageReader reader(source, true);
    reader.wantedTypes = {1, 9};
    if (reader.nextPart() != 1 || reader.nextPart() != 9) return {};
    PackageRecord record(layout.name);
    record.version = layout.version;
    return checkSignature(record, reader, keys);
}

const char* schemeName(SignatureScheme scheme) {
    switch (scheme) {
        case SignatureScheme::Ed25519:
            return "ed25519";
        case SignatureScheme::Legacy:
            return "legacy";
        case SignatureScheme::None:
            break;
    }
    return "refused";
}

// In a sandbox child: the scheme that accepted each layout, one word per line, with
// "/ram/SECURE" present or not.
RunResult schemesInSandbox(const std::vector<Layout>& layouts, bool secure) {
    Sandbox sandbox;
    if (secure) sandbox.writeFile("/ram/SECURE", "");
    return testsupport::runInRoot(sandbox, [&] {
        for (const Layout& layout : layouts)
            std::cout << schemeName(check(makePackage(layout).bytes, layout).accepted()) << '\n';
        return 0;
    });
}

TEST(LegacyPolicy, VersionTableBoundaries) {
    struct Case {
        PackageVersion version;
        bool allowed;
    };
    const Case cases[] = {
        {0, true},           {v6_46_8, true},     {v6_46_9, false},    {0x062E66FF, false},
        {0x062EFFFF, false}, {0x062F0000, true},  {0x062F6605, true},  {v6_48, true},
        {0x06306601, false}, {0x06FFFFFF, false}, {0x07000000, true},  {v7_1beta3, true},
        {v7_1beta4, false},  {v7_2, false},       {0xFFFFFFFF, false},
    };
    for (const Case& c : cases) {
        PackageRecord record("pkg");
        record.version = c.version;
        EXPECT_EQ(legacyVersionAllowed(record), c.allowed) << std::hex << c.version;
        record.name = kBrandingPackage;
        EXPECT_TRUE(legacyVersionAllowed(record)) << std::hex << c.version;
    }
    // Only the exact name counts.
    PackageRecord near("brandings");
    near.version = v7_2;
    EXPECT_FALSE(legacyVersionAllowed(near));
}

TEST(VerifySignature, Ed25519DecidesAloneForSha256Packages) {
    REQUIRE_ROOT_CHANGE();
    Layout recent;
    Layout closedVersion;
    closedVersion.version = v6_46_9;
    Layout branding;
    branding.name = "branding";
    // The marker turns off only the older scheme.
    const RunResult run = schemesInSandbox({recent, closedVersion, branding}, true);
    EXPECT_EQ(run.out, "ed25519\ned25519\ned25519\n") << run.err;
}

TEST(VerifySignature, OlderSchemeFollowsThePolicyAndTheMarker) {
    REQUIRE_ROOT_CHANGE();
    std::vector<Layout> layouts;
    for (PackageVersion version : {v6_46_8, v6_46_9, v6_48, v7_1beta3, v7_1beta4, v7_2}) {
        Layout layout;
        layout.version = version;
        layout.sha256 = false;
        layout.payload = kLegacySignatureSize;
        layout.legacy = true;
        layouts.push_back(layout);
    }
    Layout branding = layouts.back();
    branding.name = "branding";
    layouts.push_back(branding);
    EXPECT_EQ(schemesInSandbox(layouts, false).out,
              "legacy\nrefused\nlegacy\nlegacy\nrefused\nrefused\nlegacy\n");
    EXPECT_EQ(schemesInSandbox(layouts, true).out,
              "refused\nrefused\nrefused\nrefused\nrefused\nrefused\nrefused\n");
}

TEST(VerifySignature, FailedEd25519FallsBackToTheOlderHalf) {
    REQUIRE_ROOT_CHANGE();
    Layout both;
    both.legacy = true;
    both.damageEd25519 = true;
    both.version = v6_48;
    Layout bothTooNew = both;
    bothTooNew.version = v7_2;
    // SHA-256 packages may carry an older-scheme half too; it signs the digest's first 20 bytes.
    Layout wide = both;
    wide.payload = 100;
    Layout wider = both;
    wider.payload = 200;
    wider.damageEd25519 = false;
    EXPECT_EQ(schemesInSandbox({both, bothTooNew, wide, wider}, false).out,
              "legacy\nrefused\nlegacy\ned25519\n");
}

TEST(VerifySignature, PayloadLengths) {
    Layout layout;
    layout.legacy = true;
    for (size_t payload : {0u, 20u, 67u}) {
        layout.payload = payload;
        const SignatureCheck result = check(makePackage(layout).bytes, layout);
        EXPECT_FALSE(result.read) << payload;
        EXPECT_FALSE(result.legacyMatches) << payload;
    }
    // 68 to 131 bytes are read as the older scheme's 68; beyond that nothing is interpreted.
    for (size_t payload : {68u, 100u, 131u}) {
        layout.payload = payload;
        const SignatureCheck result = check(makePackage(layout).bytes, layout);
        EXPECT_TRUE(result.read && result.legacyMatches && !result.ed25519Valid) << payload;
    }
    for (size_t payload : {132u, 133u, 400u}) {
        layout.payload = payload;
        const SignatureCheck result = check(makePackage(layout).bytes, layout);
        EXPECT_TRUE(result.read && result.ed25519Valid) << payload;
    }
}

TEST(VerifySignature, Sha1PackagesAreNotDecidedByEd25519) {
    // An Ed25519 signature of the 20 SHA-1 bytes padded with zeros would verify if consulted.
    Layout layout;
    layout.sha256 = false;
    const SignatureCheck result = check(makePackage(layout).bytes, layout);
    EXPECT_TRUE(result.read);
    EXPECT_FALSE(result.ed25519Valid);
    EXPECT_EQ(result.accepted(), SignatureScheme::None);
}

TEST(VerifySignature, DigestCoversHeaderToSignaturePartHeader) {
    for (bool sha256 : {true, false}) {
        Layout layout;
        layout.sha256 = sha256;
        layout.legacy = !sha256;
        layout.ed25519 = sha256;
        layout.payload = sha256 ? kFullSignatureSize : kLegacySignatureSize;
        const Signed package = makePackage(layout);
        const auto accepted = [&](const std::string& bytes) {
            const SignatureCheck result = check(bytes, layout);
            return sha256 ? result.ed25519Valid : result.legacyMatches;
        };
        ASSERT_TRUE(accepted(package.bytes));
        for (size_t at = 0; at < package.bytes.size(); ++at) {
            std::string damaged = package.bytes;
            damaged[at] ^= 0x01;
            const bool covered = at >= package.headerStart && at < package.signatureStart + 6;
            // Ed25519 reads the last 64 bytes, the older scheme the 48 from offset 20.
            const size_t payloadStart = package.signatureStart + 6;
            const size_t usedFrom =
                payloadStart + (sha256 ? kEd25519SignatureOffset : kLegacyCheckOffset);
            const bool signature = at >= usedFrom && at < package.signatureEnd;
            // The outer length, the payload bytes the scheme does not read and the parts after
            // the signature are outside the check; the magic and a marker change what is read.
            const bool free = (at >= 4 && at < 8) || (at >= payloadStart && at < usedFrom) ||
                              at >= package.signatureEnd;
            if (covered || signature) {
                EXPECT_FALSE(accepted(damaged)) << "byte " << at << (sha256 ? " sha256" : " sha1");
            } else if (free) {
                EXPECT_TRUE(accepted(damaged)) << "byte " << at << (sha256 ? " sha256" : " sha1");
            }
        }
    }
}

TEST(VerifySignature, LeavesTheReaderAtTheSignaturePart) {
    Layout layout;
    const std::string bytes = makePackage(layout).bytes;
    std::istringstream source(bytes);
    std::stringbuf copy;
    PackageReader reader(source, true, &copy);
    reader.wantedTypes = {1, 9, 16, 3};
    ASSERT_EQ(reader.nextPart(), 1);
    ASSERT_EQ(reader.nextPart(), 16);
    ASSERT_EQ(reader.nextPart(), 9);
    PackageRecord record(layout.name);
    record.version = layout.version;
    EXPECT_EQ(checkSignature(record, reader, testKeys().trusted).accepted(),
              SignatureScheme::Ed25519);
    EXPECT_EQ(reader.partType(), 9);
    EXPECT_EQ(reader.nextPart(), 16);
    EXPECT_EQ(reader.nextPart(), 3);
    EXPECT_EQ(reader.nextPart(), -1);
    // The kept copy of the package holds the signature like every other byte.
    EXPECT_EQ(copy.str(), bytes);
}

TEST(VerifySignature, RefusedWithoutASignaturePartOrHashing) {
    Layout layout;
    const std::string bytes = makePackage(layout).bytes;
    PackageRecord record(layout.name);
    record.version = layout.version;
    {
        // Standing at the file container instead.
        std::istringstream source(bytes);
        PackageReader reader(source, true);
        reader.wantedTypes = {1, 4, 9};
        reader.nextPart();
        ASSERT_EQ(reader.nextPart(), 4);
        EXPECT_FALSE(checkSignature(record, reader, testKeys().trusted).read);
        EXPECT_EQ(reader.nextPart(), 9);
    }
    {
        // A package that ends after its files.
        std::istringstream source(bytes.substr(0, makePackage(layout).signatureStart));
        PackageReader reader(source, true);
        reader.wantedTypes = {1, 9};
        reader.nextPart();
        EXPECT_EQ(reader.nextPart(), -1);
        EXPECT_FALSE(checkSignature(record, reader, testKeys().trusted).read);
    }
    {
        std::istringstream source(bytes);
        PackageReader reader(source, false);
        reader.wantedTypes = {1, 9};
        reader.nextPart();
        ASSERT_EQ(reader.nextPart(), 9);
        EXPECT_FALSE(checkSignature(record, reader, testKeys().trusted).read);
    }
}

TEST(LegacySignature, CheckValueAndScalarAreBound) {
    std::array<uint8_t, 20> digest;
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = uint8_t(0xC0 + i);
    vlpkg::LegacySignature signature;
    ASSERT_TRUE(vlpkg::legacySign(testKeys().legacySecret, digest, signature));
    const LegacyPublicKey& key = testKeys().trusted.legacy;
    EXPECT_TRUE(legacySignatureMatches(digest, signature, key));
    for (size_t at = 0; at < signature.size(); ++at) {
        auto damaged = signature;
        damaged[at] ^= 0x80;
        // The first 20 bytes are not interpreted; every bit of c and a is.
        EXPECT_EQ(legacySignatureMatches(digest, damaged, key), at < kLegacyCheckOffset) << at;
    }
    for (size_t at = 0; at < digest.size(); at += 3) {
        auto other = digest;
        other[at] ^= 0x01;
        EXPECT_FALSE(legacySignatureMatches(other, signature, key)) << at;
    }
}

// An older-scheme signer written from the scheme's definition with the slow reference
// arithmetic, sharing no code or constant with the packaging tool's signer: a verifier and a
// signer that agree with each other but not with the scheme would be caught here.
std::array<uint8_t, 68> referenceSign(const reference::Bytes32& secret,
                                      const std::array<uint8_t, 20>& digest,
                                      const reference::Bytes32& nonce) {
    using reference::Bignum;
    BIGNUM* orderRaw = nullptr;
    BN_dec2bn(&orderRaw,
              "7237005577332262213973186563042994240857116359379907606001950938285454250989");
    const Bignum order(orderRaw);
    BN_CTX* context = reference::context();
    const reference::Point base = reference::liftEven(reference::fromWord(9).get());

    // The public point is the even-v point with u([x]B): x itself or its negation.
    const reference::Point signer = reference::multiply(base, secret);
    const reference::Point stored = reference::liftEven(signer.u.get());
    Bignum x = reference::fromBytes(secret);
    BN_nnmod(x.get(), x.get(), order.get(), context);
    if (BN_cmp(stored.v.get(), signer.v.get()) != 0)
        BN_mod_sub(x.get(), order.get(), x.get(), order.get(), context);

    Bignum k = reference::fromBytes(nonce);
    BN_nnmod(k.get(), k.get(), order.get(), context);
    const reference::Bytes32 committed =
        reference::encodeU(reference::multiply(base, reference::toBytes(k.get())));
    std::array<uint8_t, 32> hashed;
    EXPECT_TRUE(shortHash(hashed, committed));
    std::array<uint8_t, 32> h;
    EXPECT_TRUE(shortHash(h, digest));
    for (int i = 0; i < 16; ++i) h[8 + i] ^= hashed[i];
    h[0] &= 0xF8;
    h[31] = (h[31] & 0x7F) | 0x40;

    Bignum a = reference::newBignum();
    Bignum inverse(BN_mod_inverse(nullptr, x.get(), order.get(), context));
    BN_mod_sub(a.get(), k.get(), reference::fromBytes(h).get(), order.get(), context);
    BN_mod_mul(a.get(), a.get(), inverse.get(), order.get(), context);

    std::array<uint8_t, 68> signature{};
    std::copy(hashed.begin(), hashed.begin() + 16, signature.begin() + 20);
    const reference::Bytes32 aBytes = reference::toBytes(a.get());
    std::copy(aBytes.begin(), aBytes.end(), signature.begin() + 36);
    return signature;
}

TEST(LegacySignature, AcceptsSignaturesMadeFromTheDefinition) {
    std::array<uint8_t, 20> digest;
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = uint8_t(7 * i + 1);
    // Several secrets, so that both signs of the stored point occur.
    for (uint8_t seed = 1; seed <= 6; ++seed) {
        reference::Bytes32 secret;
        reference::Bytes32 nonce;
        for (size_t i = 0; i < secret.size(); ++i) {
            secret[i] = uint8_t(seed * 31 + i * 17);
            nonce[i] = uint8_t(seed * 13 + i * 101);
        }
        secret[0] &= 0xF8;
        secret[31] = (secret[31] & 0x7F) | 0x40;
        LegacyPublicKey key;
        const reference::Bytes32 u = reference::encodeU(
            reference::multiply(reference::liftEven(reference::fromWord(9).get()), secret));
        std::copy(u.begin(), u.end(), key.begin());
        const auto signature = referenceSign(secret, digest, nonce);
        EXPECT_TRUE(legacySignatureMatches(digest, signature, key)) << int(seed);
        // The tool's key and signature agree with the definition too.
        vlpkg::LegacySecret toolSecret;
        std::copy(secret.begin(), secret.end(), toolSecret.begin());
        EXPECT_EQ(vlpkg::legacyPublicKey(toolSecret), key) << int(seed);
    }
}

}  // namespace
