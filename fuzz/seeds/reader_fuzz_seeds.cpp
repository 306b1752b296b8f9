// Writes the seed corpus of the package reader's fuzz target into the directory given: small
// packages that between them hold every part type, both magics, bundles, the SHA-256 marker
// and the header lengths around the optional flags word.
#include "seed_writer.h"
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/package_bytes.h"

using testsupport::entryList;
using testsupport::headerBlock;
using testsupport::PackageBytes;

namespace {

std::vector<std::string> seeds() {
    std::vector<std::string> out;
    out.push_back(
        PackageBytes().header("minimal", 0x07016600, 1, 0).part(9, std::string(68, 's')).bytes());
    out.push_back(PackageBytes()
                      .part(25, "")
                      .header("full", 0x06306602, 2, 3)
                      .part(24, "t24")
                      .part(16, "powerpc")
                      .part(2, "t2")
                      .part(23, "a note")
                      .part(3, entryList({{"system", 0x07000000, 0x08000000, 0}}))
                      .part(19, entryList({{"dns", 0, 0, -1}, {"web", 1, 0, 5}}))
                      .part(17, entryList({{"old"}}))
                      .part(21, std::string(300, 'i'))
                      .part(4, "\x78\x9c\x03\x00\x00\x00\x00\x01")
                      .part(9, std::string(132, 'S'))
                      .part(16, "powerpc")
                      .part(3, "")
                      .bytes());
    out.push_back(PackageBytes(testsupport::kTestAlternativeMagic)
                      .part(1, headerBlock("short", 1, 1, std::nullopt, 0))
                      .part(9, "sig")
                      .bytes());
    for (size_t extra : {1u, 3u, 8u})
        out.push_back(
            PackageBytes().part(1, headerBlock("len", 1, 1) + std::string(extra, 'x')).bytes());
    out.push_back(PackageBytes()
                      .part(25, "")
                      .part(18, headerBlock("bundle", 0x07016600, 9, 0))
                      .part(21, "")
                      .part(20, entryList({{"m2"}}))
                      .header("m1", 1, 1)
                      .part(4, "zz")
                      .part(9, std::string(68, 'a'))
                      .header("m2", 2, 2)
                      .part(9, std::string(68, 'b'))
                      .part(16, "arm")
                      .bytes());
    out.push_back(PackageBytes().header("lists", 1).part(3, "").part(19, entryList({}, 2)).bytes());
    PackageBytes claiming;
    claiming.header("claims", 1).partClaiming(23, 0xFFFFFFF0u, "huge");
    out.push_back(claiming.bytes());
    out.push_back(PackageBytes().header("sixteen-chars-xx", 1).part(77, "unknown").bytes());
    out.push_back(PackageBytes().bytes());
    return out;
}

}  // namespace

int main(int argc, char** argv) { return writeSeeds(argc, argv, seeds()); }
