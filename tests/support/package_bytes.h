// A small byte builder for package files in tests: an outer header and typed parts, written
// little-endian byte by byte. It knows nothing of the reader, so a reader that misreads the
// format disagrees with it (and the hand-written golden bytes catch a builder that is wrong).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

constexpr uint32_t kTestPackageMagic = 0xBAD0F11Eu;
constexpr uint32_t kTestAlternativeMagic = 0xA1100FFBu;

void putLittle16(std::string& out, uint16_t value);
void putLittle32(std::string& out, uint32_t value);

struct TestEntry {
    std::string name;
    uint32_t minVersion = 0;
    uint32_t maxVersion = 0;
    int32_t priority = 0;
};

// A header block: name padded to 16 bytes, version, build time, 8 zero bytes, then the flags
// word when given, then `trailing` bytes of 0xEE that readers must not interpret.
std::string headerBlock(const std::string& name, uint32_t version, uint32_t buildTime,
                        std::optional<uint32_t> flags = std::nullopt, size_t trailing = 0);
// A u16 count and 32-byte entries; the count may differ from the entries to build damage.
std::string entryList(const std::vector<TestEntry>& entries,
                      std::optional<uint16_t> count = std::nullopt);

class PackageBytes {
public:
    explicit PackageBytes(uint32_t magic = kTestPackageMagic) : magic_(magic) {}

    PackageBytes& part(uint16_t type, const std::string& payload);
    // A part header that claims `length` bytes but carries `payload` (damaged files).
    PackageBytes& partClaiming(uint16_t type, uint32_t length, const std::string& payload);
    PackageBytes& header(const std::string& name, uint32_t version, uint32_t buildTime = 0,
                         std::optional<uint32_t> flags = std::nullopt);

    // The whole file; the outer length is that of the parts unless overridden.
    std::string bytes() const;
    void declareLength(uint32_t length) { declaredLength_ = length; }
    // File offset of the 6-byte header of the i-th part added, and of the end of the file.
    size_t partOffset(size_t index) const { return 8 + offsets_.at(index); }
    size_t endOffset() const { return 8 + body_.size(); }

private:
    uint32_t magic_;
    std::optional<uint32_t> declaredLength_;
    std::string body_;
    std::vector<size_t> offsets_;
};

// Decodes "1e f1 d0 ba ..." (spaces and line breaks ignored) into bytes.
std::string fromHex(const std::string& hex);

}  // namespace testsupport
