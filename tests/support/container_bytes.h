// Builds the inflated content of a package's file container (entry headers, names, data) and
// its zlib form for tests, byte by byte and independently of the installer's extraction code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

constexpr uint16_t kRegularMode = 0100644;
constexpr uint16_t kExecutableMode = 0100755;
constexpr uint16_t kDirectoryMode = 040755;
constexpr uint16_t kSymlinkMode = 0120777;

struct ContainerEntry {
    std::string name;
    std::string data;
    uint16_t mode = kRegularMode;
    uint8_t variant = 0;
    // The size field when it should differ from the data's length (damaged containers).
    std::optional<uint32_t> declaredSize;
};

// One entry: the 30-byte header (uninterpreted bytes filled with 0xA5), the name, the data.
std::string containerEntry(const ContainerEntry& entry);
std::string inflatedContainer(const std::vector<ContainerEntry>& entries);
// A complete zlib stream of `raw`.
std::string deflated(const std::string& raw, int level = 6);

// Deterministic bytes that do not compress.
std::string randomBytes(size_t n, unsigned seed);

}  // namespace testsupport
