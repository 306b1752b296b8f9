#include "support/package_bytes.h"

#include <cctype>
#include <stdexcept>

namespace testsupport {

void putLittle16(std::string& out, uint16_t value) {
    out.push_back(char(value & 0xFF));
    out.push_back(char(value >> 8));
}

void putLittle32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(char((value >> shift) & 0xFF));
}

namespace {

void putName(std::string& out, const std::string& name) {
    std::string field = name.substr(0, 16);
    field.resize(16, '\0');
    out += field;
}

}  // namespace

std::string headerBlock(const std::string& name, uint32_t version, uint32_t buildTime,
                        std::optional<uint32_t> flags, size_t trailing) {
    std::string block;
    putName(block, name);
    putLittle32(block, version);
    putLittle32(block, buildTime);
    block.append(8, '\0');
    if (flags) putLittle32(block, *flags);
    block.append(trailing, '\xEE');
    return block;
}

std::string entryList(const std::vector<TestEntry>& entries, std::optional<uint16_t> count) {
    std::string list;
    putLittle16(list, count ? *count : uint16_t(entries.size()));
    for (const TestEntry& entry : entries) {
        putName(list, entry.name);
        putLittle32(list, entry.minVersion);
        putLittle32(list, 0x5A5A5A5A);  // not interpreted
        putLittle32(list, entry.maxVersion);
        putLittle32(list, uint32_t(entry.priority));
    }
    return list;
}

PackageBytes& PackageBytes::part(uint16_t type, const std::string& payload) {
    return partClaiming(type, uint32_t(payload.size()), payload);
}

PackageBytes& PackageBytes::partClaiming(uint16_t type, uint32_t length,
                                         const std::string& payload) {
    offsets_.push_back(body_.size());
    putLittle16(body_, type);
    putLittle32(body_, length);
    body_ += payload;
    return *this;
}

PackageBytes& PackageBytes::header(const std::string& name, uint32_t version, uint32_t buildTime,
                                   std::optional<uint32_t> flags) {
    return part(1, headerBlock(name, version, buildTime, flags));
}

std::string PackageBytes::bytes() const {
    std::string file;
    putLittle32(file, magic_);
    putLittle32(file, declaredLength_ ? *declaredLength_ : uint32_t(body_.size()));
    return file + body_;
}

std::string fromHex(const std::string& hex) {
    std::string out;
    int pending = -1;
    for (char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw std::invalid_argument("not a hex digit in test bytes");
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (pending < 0) {
            pending = digit;
        } else {
            out.push_back(char(pending * 16 + digit));
            pending = -1;
        }
    }
    if (pending >= 0) throw std::invalid_argument("odd number of hex digits in test bytes");
    return out;
}

}  // namespace testsupport
