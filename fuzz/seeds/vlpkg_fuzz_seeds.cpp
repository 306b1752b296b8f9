// Writes the seed corpus of the packaging tool's fuzz target into the directory given: packages
// and bundles made by the tool's own writer, signed and unsigned, with every optional part.
#include "seed_writer.h"
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_packages.h"

namespace {

std::vector<std::string> seeds() {
    std::vector<std::string> out;
    vlpkg::PackageSpec full = testsupport::simplePackage("full", "7.1beta3", {{"bin/a", "aaaa"}});
    full.flags = 3;
    full.text24 = "t24";
    full.architecture = "powerpc";
    full.text2 = "t2";
    full.note = "note";
    full.depends = {{"base", 0x07006600, 0, 0}};
    full.provides = {{"web", 0, 0, -1}};
    full.conflicts = {{"old", 0, 0x06306600, 0}};
    full.image = vlpkg::Content{.bytes = "image", .hostPath = {}};
    full.files.push_back({"etc/x", 0x81A4, 3, {"variant three", {}}});
    full.files.push_back({"lnk", 0xA1FF, 0, {"bin/a", {}}});
    out.push_back(testsupport::packageBytes(full));
    out.push_back(testsupport::signedBytes(out.back()));

    vlpkg::PackageSpec bare = testsupport::simplePackage("bare", "6.48");
    bare.withFiles = false;
    out.push_back(testsupport::packageBytes(bare));

    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = 0x07026600;
    bundle.disabledMembers = {{"two", 0, 0, 0}};
    bundle.members = {testsupport::simplePackage("one", "7.2", {{"1", "1"}}),
                      testsupport::simplePackage("two", "7.2", {{"2", "2"}})};
    out.push_back(testsupport::bundleBytes(bundle));
    out.push_back(testsupport::signedBytes(out.back()));
    std::string trailed = out[1];
    testsupport::appendPart(trailed, 16, "powerpc");
    testsupport::appendPart(trailed, 3, "");
    out.push_back(trailed);
    return out;
}

}  // namespace

int main(int argc, char** argv) { return writeSeeds(argc, argv, seeds()); }
