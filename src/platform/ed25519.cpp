#include "platform/ed25519.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/hash.h"

namespace velmara {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

bool ed25519Verify(std::span<const uint8_t, kEd25519PublicKeySize> publicKey,
                   std::span<const uint8_t> message,
                   std::span<const uint8_t, kEd25519SignatureSize> signature) {
    startCrypto();
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
    if (!key) return false;
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context) return false;
    // Ed25519 hashes the message itself: no digest is named.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                            message.size()) == 1;
}

}  // namespace velmara
