// Walks arbitrary bytes as a package file: every part through the header and entry-list
// readers, the rest through the stream operations the installer uses, once with hashing and
// a copy (reading everything) and once without (seeking over what is not wanted).
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "package/package_reader.h"

using namespace velmara;

namespace {

void walk(const std::string& bytes, bool hashing) {
    std::istringstream source(bytes);
    std::stringbuf copy;
    PackageReader reader(source, hashing, hashing ? &copy : nullptr);
    reader.wantedTypes = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24, 25};
    int32_t type = reader.nextPart();
    // Every step consumes a part header or ends; the bound only guards against a regression.
    for (size_t steps = 0; type != PartType::None && steps < 1000000; ++steps) {
        if (type == PartType::Header || type == PartType::BundleHeader) {
            PackageRecord record;
            if (readPackageHeader(record, reader)) {
                type = reader.partType();
                continue;
            }
        } else if (type == PartType::Depends || type == PartType::Provides ||
                   type == PartType::Conflicts || type == PartType::DisabledMembers) {
            std::vector<DependencyEntry> entries;
            (void)readEntryPart(reader, entries);
        } else if (type == PartType::Signature) {
            reader.parts().finishDigest();
            char signature[132];
            (void)reader.parts().readUnhashed(signature, sizeof signature);
        } else {
            // A few single bytes, a put-back, then a skip forward and a look at the position.
            const int first = reader.get();
            if (first != std::char_traits<char>::eof()) {
                reader.unget();
                reader.get();
            }
            reader.peek();
            reader.seekg(std::streamoff(reader.partLength() / 2), std::ios_base::cur);
            (void)reader.tellg();
            reader.seekg(-1, std::ios_base::end);
            reader.get();
        }
        (void)reader.consumed();
        reader.clear();
        type = reader.nextPart();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    walk(bytes, true);
    walk(bytes, false);
    return 0;
}
