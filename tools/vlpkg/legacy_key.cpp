#include "vlpkg/legacy_key.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>

#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

// The order of the base point's group, 2^252 + 27742317777372353535851937790883648493.
constexpr const char* kGroupOrderHex =
    "1000000000000000000000000000000014DEF9DEA2F79CD65812631A5CF5D3ED";
constexpr size_t kNonceHashSize = 64;

struct BignumFree {
    void operator()(BIGNUM* n) const { BN_clear_free(n); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumFree>;
struct ContextFree {
    void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};

Bignum fromLittle(std::span<const uint8_t> bytes) {
    return Bignum(BN_lebin2bn(bytes.data(), int(bytes.size()), nullptr));
}

bool toLittle(const BIGNUM* n, std::span<uint8_t, 32> out) {
    return BN_bn2lebinpad(n, out.data(), int(out.size())) == int(out.size());
}

void clamp(std::span<uint8_t, 32> scalar) {
    scalar[0] &= 0xF8;
    scalar[31] = (scalar[31] & 0x7F) | 0x40;
}

bool isZero(std::span<const uint8_t> bytes) {
    uint8_t any = 0;
    for (uint8_t b : bytes) any |= b;
    return any == 0;
}

}  // namespace

bool generateLegacySecret(LegacySecret& secret) {
    if (RAND_bytes(secret.data(), int(secret.size())) != 1)
        return fail("the system's random source failed");
    clamp(secret);
    return true;
}

LegacyPublic legacyPublicKey(const LegacySecret& secret) {
    // [0]P + [s]B: the stored point plays no part, so any value serves for it.
    const std::array<uint8_t, kScalarBytes> zero{};
    const LegacyPublic unused{9};
    LegacyPublic out;
    doubleScalarU(out, zero, secret, unused);
    return out;
}

bool legacySign(const LegacySecret& secret, std::span<const uint8_t, kLegacyDigestSize> digest,
                LegacySignature& signature) {
    std::unique_ptr<BN_CTX, ContextFree> context(BN_CTX_new());
    BIGNUM* orderRaw = nullptr;
    if (!context || BN_hex2bn(&orderRaw, kGroupOrderHex) == 0)
        return fail("big-number arithmetic failed");
    const Bignum order(orderRaw);
    const LegacyPublic publicKey = legacyPublicKey(secret);

    // The verifier takes the public point with even v, which is [s]B or -[s]B: sign with the
    // scalar sigma for which it is [sigma]B. [1]P + [-s]B is neutral exactly when P = [s]B.
    Bignum s = fromLittle(secret);
    Bignum minusS(BN_new());
    if (!s || !minusS || BN_nnmod(s.get(), s.get(), order.get(), context.get()) != 1 ||
        BN_mod_sub(minusS.get(), order.get(), s.get(), order.get(), context.get()) != 1)
        return fail("big-number arithmetic failed");
    std::array<uint8_t, kScalarBytes> one{1};
    std::array<uint8_t, kScalarBytes> minusSBytes;
    std::array<uint8_t, kCurvePointBytes> probe;
    if (!toLittle(minusS.get(), minusSBytes)) return fail("big-number arithmetic failed");
    doubleScalarU(probe, one, minusSBytes, publicKey);
    const BIGNUM* sigma = isZero(probe) ? s.get() : minusS.get();

    // Nonce r = SHA-512(secret, digest) mod order, never zero.
    uint8_t nonceHash[kNonceHashSize];
    unsigned int hashLength = 0;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md || EVP_DigestInit_ex(md.get(), EVP_sha512(), nullptr) != 1 ||
        EVP_DigestUpdate(md.get(), secret.data(), secret.size()) != 1 ||
        EVP_DigestUpdate(md.get(), digest.data(), digest.size()) != 1 ||
        EVP_DigestFinal_ex(md.get(), nonceHash, &hashLength) != 1 || hashLength != kNonceHashSize)
        return fail("hashing the signing nonce failed");
    Bignum r = fromLittle(nonceHash);
    if (!r || BN_nnmod(r.get(), r.get(), order.get(), context.get()) != 1)
        return fail("big-number arithmetic failed");
    if (BN_is_zero(r.get())) BN_one(r.get());
    std::array<uint8_t, kScalarBytes> rBytes;
    if (!toLittle(r.get(), rBytes)) return fail("big-number arithmetic failed");

    // c = the first 16 bytes of the hash of u([r]B).
    const std::array<uint8_t, kScalarBytes> zero{};
    std::array<uint8_t, kCurvePointBytes> committed;
    doubleScalarU(committed, zero, rBytes, publicKey);
    std::array<uint8_t, kShortHashSize> committedHash;
    if (!shortHash(committedHash, committed)) return fail("hashing the commitment failed");

    // b as the verifier forms it from the digest and c.
    std::array<uint8_t, kShortHashSize> b;
    if (!shortHash(b, digest)) return fail("hashing the digest failed");
    for (size_t i = 0; i < kLegacyCheckSize; ++i) b[kLegacyMixOffset + i] ^= committedHash[i];
    clamp(b);

    // a = (r - b) / sigma mod order, so that [a]P + [b]B = [r]B.
    Bignum bValue = fromLittle(b);
    Bignum a(BN_new());
    Bignum inverse(BN_mod_inverse(nullptr, sigma, order.get(), context.get()));
    if (!bValue || !a || !inverse ||
        BN_mod_sub(a.get(), r.get(), bValue.get(), order.get(), context.get()) != 1 ||
        BN_mod_mul(a.get(), a.get(), inverse.get(), order.get(), context.get()) != 1)
        return fail("big-number arithmetic failed");

    signature.fill(0);
    std::copy(committedHash.begin(), committedHash.begin() + kLegacyCheckSize,
              signature.begin() + kLegacyCheckOffset);
    if (!toLittle(a.get(), std::span<uint8_t, 32>(signature.data() + kLegacyScalarOffset, 32)))
        return fail("big-number arithmetic failed");
    OPENSSL_cleanse(nonceHash, sizeof nonceHash);
    return true;
}

bool parseKeyHex(const std::string& text, std::array<uint8_t, 32>& bytes) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    if (end - begin != 2 * bytes.size()) return false;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = digit(text[begin + 2 * i]);
        const int low = digit(text[begin + 2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = uint8_t(high << 4 | low);
    }
    return true;
}

std::string keyHex(std::span<const uint8_t, 32> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

bool loadLegacyKey(const std::string& path, std::array<uint8_t, 32>& bytes) {
    std::ifstream in(path);
    if (!in) return fail("cannot read key %s", path.c_str());
    std::ostringstream text;
    text << in.rdbuf();
    if (!parseKeyHex(text.str(), bytes))
        return fail("%s is not a key of 64 hex digits", path.c_str());
    return true;
}

}  // namespace vlpkg
