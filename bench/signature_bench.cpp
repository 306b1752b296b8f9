// What one signature check costs when a package reaches its signature part:
//   VerifyEd25519      the check of a SHA-256 package whose Ed25519 half verifies;
//   VerifyOlderScheme  the check of a SHA-1 package with a 68-byte older-scheme signature (two
//                      single-block hashes and one double-scalar combination);
//   DoubleScalarU      the combination alone;
//   X25519Reference    one scalar multiplication by libcrypto's X25519, the reference.
// Each check includes finishing the digest and reading the signature part, as the installer
// does; the package bytes before it are read once outside the timing. The multiples of the
// reference are printed at the end: DoubleScalarU should stay a small multiple, since it runs
// one ladder over both scalars.
#include "ratio_reporter.h"
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "package/signature.h"
#include "vlpkg/legacy_key.h"
#include "vlpkg/package_signer.h"
#include "vlpkg/package_writer.h"

using namespace velmara;

namespace {

struct Keys {
    EVP_PKEY* ed25519 = nullptr;
    vlpkg::LegacySecret legacy{};
    TrustedKeys trusted;
};

const Keys& keys() {
    static const Keys made = [] {
        Keys k;
        k.ed25519 = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        size_t length = k.trusted.ed25519.size();
        EVP_PKEY_get_raw_public_key(k.ed25519, k.trusted.ed25519.data(), &length);
        for (size_t i = 0; i < k.legacy.size(); ++i) k.legacy[i] = uint8_t(i * 53 + 7);
        k.legacy[0] &= 0xF8;
        k.legacy[31] = (k.legacy[31] & 0x7F) | 0x40;
        k.trusted.legacy = vlpkg::legacyPublicKey(k.legacy);
        return k;
    }();
    return made;
}

// A small package (version 6.48, which still admits the older scheme), signed as asked.
std::string signedPackage(bool ed25519) {
    vlpkg::PackageSpec description;
    description.name = "bench";
    description.version = 0x06306600;
    description.files.push_back({"bin/tool", vlpkg::kModeRegular | 0755, 0, {std::string(4096, 'x'), {}}});
    vlpkg::StringSink plain;
    if (!vlpkg::writePackage(plain, description)) std::abort();
    std::istringstream in(plain.bytes);
    vlpkg::StringSink out;
    vlpkg::SigningKeys signing;
    if (ed25519)
        signing.ed25519 = keys().ed25519;
    else
        signing.legacy = &keys().legacy;
    if (!vlpkg::signPackageFile(in, "bench", out, signing)) std::abort();
    return out.bytes;
}

void checkEach(benchmark::State& state, const std::string& bytes, SignatureScheme expected) {
    PackageRecord record("bench");
    record.version = 0x06306600;
    for (auto _ : state) {
        state.PauseTiming();
        std::istringstream source(bytes);
        PackageReader reader(source, true);
        reader.wantedTypes = {1, 9};
        reader.nextPart();
        if (reader.nextPart() != PartType::Signature) state.SkipWithError("no signature part");
        state.ResumeTiming();
        if (checkSignature(record, reader, keys().trusted).accepted() != expected)
            state.SkipWithError("the signature was not accepted as expected");
    }
}

void VerifyEd25519(benchmark::State& state) {
    checkEach(state, signedPackage(true), SignatureScheme::Ed25519);
}

void VerifyOlderScheme(benchmark::State& state) {
    checkEach(state, signedPackage(false), SignatureScheme::Legacy);
}

void DoubleScalarU(benchmark::State& state) {
    std::array<uint8_t, 32> a, b, out;
    for (size_t i = 0; i < 32; ++i) {
        a[i] = uint8_t(i * 7 + 1);
        b[i] = uint8_t(i * 11 + 3);
    }
    for (auto _ : state) {
        doubleScalarU(out, a, b, keys().trusted.legacy);
        benchmark::DoNotOptimize(out);
    }
}

void X25519Reference(benchmark::State& state) {
    EVP_PKEY* mine = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    EVP_PKEY* peer = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(mine, nullptr);
    EVP_PKEY_derive_init(context);
    EVP_PKEY_derive_set_peer(context, peer);
    uint8_t secret[32];
    for (auto _ : state) {
        size_t length = sizeof secret;
        EVP_PKEY_derive(context, secret, &length);
        benchmark::DoNotOptimize(secret);
    }
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(mine);
}


}  // namespace

BENCHMARK(X25519Reference)->Unit(benchmark::kMicrosecond);
BENCHMARK(DoubleScalarU)->Unit(benchmark::kMicrosecond);
BENCHMARK(VerifyOlderScheme)->Unit(benchmark::kMicrosecond);
BENCHMARK(VerifyEd25519)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    return runWithRatios(argc, argv, {{"DoubleScalarU", "X25519Reference"},
                                       {"VerifyOlderScheme", "X25519Reference"},
                                       {"VerifyEd25519", "X25519Reference"}});
}
