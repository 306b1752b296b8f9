#include "support/test_packages.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "vlpkg/byte_sink.h"
#include "vlpkg/commands.h"
#include "vlpkg/package_signer.h"
#include "vlpkg/signing_key.h"

using namespace velmara;

namespace testsupport {
namespace {

uint32_t le32(const std::string& bytes, size_t at) {
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
           uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
}

uint16_t le16(const std::string& bytes, size_t at) {
    return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
}

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

void makeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

}  // namespace

std::string developmentPrivateKey() {
    return std::string(SOURCE_DIR) + "/keys/development/ed25519-private.pem";
}

std::string developmentPublicKey() {
    return std::string(SOURCE_DIR) + "/keys/development/ed25519-public.pem";
}

vlpkg::PackageSpec simplePackage(const std::string& name, const std::string& version,
                                 const std::vector<std::pair<std::string, std::string>>& files) {
    vlpkg::PackageSpec description;
    description.name = name;
    EXPECT_TRUE(parseVersion(version, description.version)) << version;
    description.buildTime = 1700000000;
    for (const auto& [fileName, contents] : files) {
        vlpkg::FileSpec file;
        file.name = fileName;
        file.content.bytes = contents;
        description.files.push_back(file);
    }
    return description;
}

std::string packageBytes(const vlpkg::PackageSpec& description) {
    vlpkg::StringSink sink;
    const bool written = vlpkg::writePackage(sink, description);
    EXPECT_TRUE(written) << "the writer refused package " << description.name;
    return written ? sink.bytes : std::string();
}

std::string bundleBytes(const vlpkg::BundleSpec& description) {
    vlpkg::StringSink sink;
    const bool written = vlpkg::writeBundle(sink, description);
    EXPECT_TRUE(written) << "the writer refused bundle " << description.name;
    return written ? sink.bytes : std::string();
}

std::string signedBytes(const std::string& package, const std::string& privateKey) {
    vlpkg::KeyHandle key = vlpkg::loadPrivateKey(privateKey);
    EXPECT_TRUE(key) << privateKey;
    if (!key) return {};
    std::istringstream in(package);
    vlpkg::StringSink out;
    const bool signedOk = vlpkg::signPackageFile(in, "package", out, key.get());
    EXPECT_TRUE(signedOk);
    return signedOk ? out.bytes : std::string();
}

namespace {

// Whether `signature` is a valid Ed25519 signature of `message` (signed as it is).
bool ed25519Valid(const std::string& message, const std::string& signature,
                  const std::string& publicKey) {
    FILE* file = std::fopen(publicKey.c_str(), "r");
    EVP_PKEY* key = file ? PEM_read_PUBKEY(file, nullptr, nullptr, nullptr) : nullptr;
    if (file) std::fclose(file);
    EXPECT_NE(key, nullptr) << publicKey;
    if (!key || signature.size() != 64) {
        EVP_PKEY_free(key);
        return false;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool valid =
        EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const uint8_t*>(signature.data()), 64,
                         reinterpret_cast<const uint8_t*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

std::string sha256Of(const std::string& bytes) {
    uint8_t digest[SHA256_DIGEST_LENGTH];
    ::SHA256(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace

bool bundleSignatureValid(const std::string& bundle, const std::string& publicKey) {
    std::vector<RawPart> parts;
    if (!splitParts(bundle, parts) || parts.empty() || parts[0].type != 18) return false;
    size_t first = 1;
    while (first < parts.size() && parts[first].type != 1 && parts[first].type != 25) ++first;
    if (first == parts.size()) return false;
    std::string message = bundle.substr(parts[0].offset, parts[first].offset - parts[0].offset);
    bool sha256 = false;
    size_t header = parts.size();
    for (size_t i = first; i < parts.size(); ++i) {
        const std::string covered =
            header < parts.size() ? bundle.substr(parts[header].offset,
                                                  parts[i].offset + 6 - parts[header].offset)
                                  : std::string();
        switch (parts[i].type) {
            case 25:
                sha256 = true;
                break;
            case 1:
                header = i;
                break;
            case 9:
                if (header == parts.size()) return false;
                if (sha256) {
                    message += sha256Of(covered);
                } else {
                    uint8_t digest[32] = {};
                    ::SHA1(reinterpret_cast<const uint8_t*>(covered.data()), covered.size(),
                           digest);
                    message += std::string(reinterpret_cast<const char*>(digest), 32);
                }
                header = parts.size();
                break;
            case 26:
                message += bundle.substr(parts[i].offset, 6);
                return ed25519Valid(sha256Of(message), parts[i].payload, publicKey);
            default:
                break;
        }
    }
    return false;
}

bool ed25519ValidOverSha256(const std::string& message, const std::string& signature,
                            const std::string& publicKey) {
    return ed25519Valid(sha256Of(message), signature, publicKey);
}

std::vector<bool> verifyEd25519(const std::string& package, const std::string& publicKey) {
    std::vector<bool> results;
    std::vector<RawPart> parts;
    EXPECT_TRUE(splitParts(package, parts));
    size_t header = parts.size();
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].type == 1) header = i;
        if (parts[i].type != 9 || header == parts.size()) continue;
        const size_t begin = parts[header].offset;
        const size_t end = parts[i].offset + 6;
        results.push_back(parts[i].payload.size() >= 132 &&
                          ed25519ValidOverSha256(package.substr(begin, end - begin),
                                                 parts[i].payload.substr(68, 64), publicKey));
        header = parts.size();
    }
    return results;
}

std::string little16(uint16_t value) {
    return {char(value & 0xFF), char(value >> 8)};
}

std::string little32(uint32_t value) {
    return {char(value & 0xFF), char((value >> 8) & 0xFF), char((value >> 16) & 0xFF),
            char(value >> 24)};
}

void appendPart(std::string& package, uint16_t type, const std::string& payload) {
    package += little16(type) + little32(uint32_t(payload.size())) + payload;
    package.replace(4, 4, little32(uint32_t(package.size() - 8)));
}

bool splitParts(const std::string& package, std::vector<RawPart>& parts) {
    if (package.size() < 8 || le32(package, 4) != package.size() - 8) return false;
    for (size_t at = 8; at < package.size();) {
        if (package.size() - at < 6) return false;
        const uint32_t length = le32(package, at + 2);
        if (package.size() - at - 6 < length) return false;
        parts.push_back({le16(package, at), at, package.substr(at + 6, length)});
        at += 6 + length;
    }
    return true;
}

std::vector<uint16_t> partTypes(const std::vector<RawPart>& parts) {
    std::vector<uint16_t> types;
    for (const RawPart& part : parts) types.push_back(part.type);
    return types;
}

bool inflateAll(const std::string& compressed, std::string& inflated) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = uInt(compressed.size());
    char buffer[16384];
    int result;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        inflated.append(buffer, sizeof buffer - stream.avail_out);
    } while (result == Z_OK);
    inflateEnd(&stream);
    return result == Z_STREAM_END && stream.avail_in == 0;
}

bool splitFileEntries(const std::string& inflated, std::vector<RawFileEntry>& entries) {
    for (size_t at = 0; at < inflated.size();) {
        if (inflated.size() - at < 30) return false;
        RawFileEntry entry;
        entry.header = inflated.substr(at, 30);
        entry.mode = le16(inflated, at);
        entry.variant = uint8_t(inflated[at + 23]);
        const uint32_t size = le32(inflated, at + 24);
        const uint16_t nameLength = le16(inflated, at + 28);
        at += 30;
        if (inflated.size() - at < uint64_t(nameLength) + size) return false;
        entry.name = inflated.substr(at, nameLength);
        entry.data = inflated.substr(at + nameLength, size);
        at += nameLength + size;
        entries.push_back(entry);
    }
    return true;
}

ConsoleCapture::ConsoleCapture() : previous_(Installer::instance().console) {
    Installer::instance().console = &stream_;
}

ConsoleCapture::~ConsoleCapture() {
    Installer::instance().console = previous_;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/vlpkg-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot make a temporary directory";
    path_ = pattern;
}

TempDir::~TempDir() {
    nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void TempDir::write(const std::string& relative, const std::string& contents, unsigned mode) const {
    const std::string path = file(relative);
    makeParents(path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    chmod(path.c_str(), mode);
}

std::string TempDir::read(const std::string& relative) const {
    std::ifstream in(file(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<RawPart> parts(const std::string& package) {
    std::vector<RawPart> split;
    EXPECT_TRUE(splitParts(package, split));
    return split;
}

ToolRun runTool(const std::vector<std::string>& args) {
    ConsoleCapture console;
    std::ostringstream out;
    const int status = vlpkg::runTool(args, out);
    return {status, out.str(), console.text()};
}

}  // namespace testsupport
