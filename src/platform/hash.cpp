#include "platform/hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>

namespace velmara {

void startCrypto() {
    static const bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    (void)started;
}

// A digest context that cannot be made or started is as fatal as running out of memory in
// new: the process cannot go on hashing, so it stops rather than accept unverified data.
Hash::Hash(const evp_md_st* algorithm, size_t digestSize)
    : algorithm_(algorithm), context_(nullptr), digestSize_(digestSize) {
    startCrypto();
    context_ = EVP_MD_CTX_new();
    if (context_ == nullptr) std::abort();
    restart();
}

Hash::~Hash() { EVP_MD_CTX_free(context_); }

void Hash::restart() {
    if (EVP_DigestInit_ex(context_, algorithm_, nullptr) != 1) std::abort();
}

void Hash::add(const void* data, size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(context_, data, size) != 1) std::abort();
}

void Hash::finish(uint8_t* digest) {
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(context_, digest, &written) != 1 || written != digestSize_)
        std::abort();
    restart();
}

SHA1::SHA1() : Hash(EVP_sha1(), kDigestSize) {}

SHA256::SHA256() : Hash(EVP_sha256(), kDigestSize) {}

}  // namespace velmara
