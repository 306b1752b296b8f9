// Writes the seed corpus of the extraction fuzz target: a flags byte, then either an inflated
// container (deflated by the target) or a raw zlib stream, covering regular files, directory
// and link entries, board variants, a disabled package, empty files, unsafe names and cut data.
#include "seed_writer.h"
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/container_bytes.h"

using testsupport::ContainerEntry;
using testsupport::deflated;
using testsupport::inflatedContainer;

namespace {

constexpr char kDeflate = 0x01;
constexpr char kDisabled = 0x02;

char variantFlag(int variant) {
    return char(variant << 2);
}

std::vector<std::string> seeds() {
    const std::string ordinary = inflatedContainer({
        {"bin/tool", "#!/bin/sh\necho hi\n", testsupport::kExecutableMode},
        {"etc", "", testsupport::kDirectoryMode},
        {"etc/link", "../bin/tool", testsupport::kSymlinkMode},
        {"/etc/conf", "a=1\n"},
        {"empty", ""},
    });
    const std::string variants = inflatedContainer({
        {"all", "every board"},
        {"three", "3", testsupport::kRegularMode, 3},
        {"one", "1", testsupport::kRegularMode, 1},
    });
    std::vector<std::string> out;
    out.push_back(kDeflate + ordinary);
    out.push_back(char(kDeflate | kDisabled) + ordinary);
    out.push_back(char(kDeflate | variantFlag(3)) + variants);
    out.push_back(char(kDeflate | variantFlag(1)) + variants);
    out.push_back(std::string(1, 0) + deflated(ordinary));
    out.push_back(std::string(1, 0) + deflated(ordinary).substr(0, 20));
    out.push_back(std::string(1, 0) + deflated(ordinary) + "trailing");
    out.push_back(kDeflate + ordinary.substr(0, ordinary.size() - 3));
    out.push_back(kDeflate + inflatedContainer({{"../escape", "x"}, {"a//b", "y"}}));
    out.push_back(kDeflate +
                  inflatedContainer({{"big", "", testsupport::kRegularMode, 0, 100000}}));
    out.push_back(std::string(1, kDeflate));
    return out;
}

}  // namespace

int main(int argc, char** argv) { return writeSeeds(argc, argv, seeds()); }
