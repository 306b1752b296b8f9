#include "support/container_bytes.h"

#include <zlib.h>

#include <random>

#include "support/package_bytes.h"

namespace testsupport {

std::string containerEntry(const ContainerEntry& entry) {
    std::string out;
    putLittle16(out, entry.mode);
    out.append(21, '\xA5');
    out.push_back(char(entry.variant));
    putLittle32(out, entry.declaredSize ? *entry.declaredSize : uint32_t(entry.data.size()));
    putLittle16(out, uint16_t(entry.name.size()));
    out += entry.name;
    out += entry.data;
    return out;
}

std::string inflatedContainer(const std::vector<ContainerEntry>& entries) {
    std::string out;
    for (const ContainerEntry& entry : entries) out += containerEntry(entry);
    return out;
}

std::string deflated(const std::string& raw, int level) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), level) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(n, '\0');
    for (char& c : out) c = char(generator() & 0xFF);
    return out;
}

}  // namespace testsupport
