// The two signature hashes the package reader feeds while a package streams by: SHA-1 for
// older packages, SHA-256 for packages that carry the marker part. A thin layer over
// libcrypto's digest contexts.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_md_st;
struct evp_md_ctx_st;

namespace velmara {

// Starts libcrypto without reading its configuration file: what the installer accepts must not
// depend on a file in the router root, and the router's own build has none to read. Called
// before the first use; later calls do nothing.
void startCrypto();

class Hash {
public:
    virtual ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    void add(const void* data, size_t size);
    // Writes digestSize() bytes to `digest` and returns the hash to its initial state, so the
    // next byte added starts a new digest.
    void finish(uint8_t* digest);
    size_t digestSize() const { return digestSize_; }

protected:
    Hash(const evp_md_st* algorithm, size_t digestSize);

private:
    void restart();

    const evp_md_st* algorithm_;
    evp_md_ctx_st* context_;
    size_t digestSize_;
};

class SHA1 : public Hash {
public:
    static constexpr size_t kDigestSize = 20;
    SHA1();
};

class SHA256 : public Hash {
public:
    static constexpr size_t kDigestSize = 32;
    SHA256();
};

}  // namespace velmara
