// Cost of the older signature scheme's primitives, each next to a libcrypto reference measured
// in the same run: doubleScalarU against one X25519 scalar multiplication, shortHash against
// one SHA-256 of the same 32 bytes. The ratios at the end are the figures to compare between
// machines and runs; the absolute times drift on shared hosts.
#include "ratio_reporter.h"
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "crypto/double_scalar.h"
#include "crypto/field_element.h"
#include "crypto/short_hash.h"

using namespace velmara;

namespace {

using Bytes32 = std::array<uint8_t, 32>;

Bytes32 randomBytes(std::mt19937& random) {
    Bytes32 bytes;
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

// One X25519 derivation, set up once so that the loop measures the scalar multiplication.
class X25519Derivation {
  public:
    X25519Derivation(const Bytes32& scalar, const Bytes32& peerU) {
        own_ = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), scalar.size());
        peer_ = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerU.data(), peerU.size());
        ctx_ = own_ ? EVP_PKEY_CTX_new(own_, nullptr) : nullptr;
        ready_ = ctx_ && peer_ && EVP_PKEY_derive_init(ctx_) == 1 &&
                 EVP_PKEY_derive_set_peer(ctx_, peer_) == 1;
    }
    ~X25519Derivation() {
        EVP_PKEY_CTX_free(ctx_);
        EVP_PKEY_free(peer_);
        EVP_PKEY_free(own_);
    }
    bool ready() const { return ready_; }
    bool derive(Bytes32& out) {
        size_t length = out.size();
        return EVP_PKEY_derive(ctx_, out.data(), &length) == 1;
    }

  private:
    EVP_PKEY* own_ = nullptr;
    EVP_PKEY* peer_ = nullptr;
    EVP_PKEY_CTX* ctx_ = nullptr;
    bool ready_ = false;
};

void BM_X25519Reference(benchmark::State& state) {
    std::mt19937 random(1);
    const Bytes32 nine = {9};
    X25519Derivation derivation(randomBytes(random), nine);
    if (!derivation.ready()) {
        state.SkipWithError("libcrypto X25519 unavailable");
        return;
    }
    Bytes32 out;
    for (auto _ : state) {
        if (!derivation.derive(out)) state.SkipWithError("X25519 derivation failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_X25519Reference);

void BM_DoubleScalarU(benchmark::State& state) {
    std::mt19937 random(2);
    Bytes32 publicU;
    X25519Derivation keyOf(randomBytes(random), Bytes32{9});
    if (!keyOf.ready() || !keyOf.derive(publicU)) {
        state.SkipWithError("libcrypto X25519 unavailable");
        return;
    }
    const Bytes32 a = randomBytes(random);
    const Bytes32 b = randomBytes(random);
    Bytes32 out;
    for (auto _ : state) {
        doubleScalarU(out, a, b, publicU);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_DoubleScalarU);

void BM_FieldMultiply(benchmark::State& state) {
    FieldElement x, y;
    std::mt19937 random(3);
    feDecode(x, randomBytes(random));
    feDecode(y, randomBytes(random));
    for (auto _ : state) {
        feMul(x, x, y);
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(BM_FieldMultiply);

void BM_Sha256Reference(benchmark::State& state) {
    std::mt19937 random(4);
    const Bytes32 message = randomBytes(random);
    EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes32 out;
    unsigned length = 0;
    for (auto _ : state) {
        if (EVP_DigestInit_ex(ctx, sha256, nullptr) != 1 ||
            EVP_DigestUpdate(ctx, message.data(), message.size()) != 1 ||
            EVP_DigestFinal_ex(ctx, out.data(), &length) != 1) {
            state.SkipWithError("SHA-256 failed");
        }
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(sha256);
}
BENCHMARK(BM_Sha256Reference);

void BM_ShortHash32Bytes(benchmark::State& state) {
    std::mt19937 random(5);
    const Bytes32 message = randomBytes(random);
    Bytes32 out;
    for (auto _ : state) {
        if (!shortHash(out, message)) state.SkipWithError("shortHash refused 32 bytes");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ShortHash32Bytes);

// Prints the usual table, then each measured operation as a multiple of its reference.

}  // namespace

int main(int argc, char** argv) {
    return runWithRatios(argc, argv, {{"BM_DoubleScalarU", "BM_X25519Reference"},
                                       {"BM_FieldMultiply", "BM_X25519Reference"},
                                       {"BM_ShortHash32Bytes", "BM_Sha256Reference"}});
}
