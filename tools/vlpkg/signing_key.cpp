#include "vlpkg/signing_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioHandle = std::unique_ptr<BIO, BioDeleter>;

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The first queued libcrypto error, for messages; clears the queue.
std::string cryptoError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

KeyHandle checkEd25519(KeyHandle key, const std::string& path, const char* what) {
    if (!key) {
        fail("%s holds no %s key: %s", path.c_str(), what, cryptoError().c_str());
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        fail("%s holds a %s key, but not an Ed25519 one", path.c_str(), what);
        return nullptr;
    }
    return key;
}

bool toPem(evp_pkey_st* key, bool secret, std::string& pem) {
    BioHandle bio(BIO_new(BIO_s_mem()));
    const int written =
        !bio     ? 0
        : secret ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                 : PEM_write_bio_PUBKEY(bio.get(), key);
    if (written != 1) return fail("cannot encode the key: %s", cryptoError().c_str());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    pem.assign(data, size_t(size));
    return true;
}

}  // namespace

void KeyDeleter::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

KeyHandle loadPrivateKey(const std::string& path) {
    BioHandle bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        fail("cannot read key %s: %s", path.c_str(), cryptoError().c_str());
        return nullptr;
    }
    KeyHandle key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    return checkEd25519(std::move(key), path, "private");
}

KeyHandle loadPublicKey(const std::string& path) {
    BioHandle bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        fail("cannot read key %s: %s", path.c_str(), cryptoError().c_str());
        return nullptr;
    }
    KeyHandle key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    return checkEd25519(std::move(key), path, "public");
}

KeyHandle generateKey() {
    KeyHandle key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) fail("cannot generate a key: %s", cryptoError().c_str());
    return key;
}

bool signMessage(evp_pkey_st* key, const uint8_t* message, size_t size,
                 Ed25519Signature& signature) {
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    size_t length = signature.size();
    // Ed25519 hashes the message itself: no digest is named here.
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &length, message, size) != 1 ||
        length != signature.size())
        return fail("cannot sign: %s", cryptoError().c_str());
    return true;
}

bool verifyMessage(evp_pkey_st* key, const uint8_t* message, size_t size,
                   const Ed25519Signature& signature) {
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    const bool valid =
        context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(context.get(), signature.data(), signature.size(), message, size) == 1;
    ERR_clear_error();
    return valid;
}

bool rawPublicKey(evp_pkey_st* key, Ed25519PublicKey& raw) {
    size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size())
        return fail("cannot read the public key: %s", cryptoError().c_str());
    return true;
}

bool privateKeyPem(evp_pkey_st* key, std::string& pem) {
    return toPem(key, true, pem);
}
bool publicKeyPem(evp_pkey_st* key, std::string& pem) {
    return toPem(key, false, pem);
}

}  // namespace vlpkg
