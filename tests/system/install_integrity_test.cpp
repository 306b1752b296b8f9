// Damaged, unsigned, cut and extended packages on standard input: each is refused and leaves
// the installed tree, the database and the flag files exactly as they were.
#include "install_fixture.h"
#include "support/package_bytes.h"

namespace installtest {
namespace {

using testsupport::RawPart;

const std::string kBroken = "ERROR: installation of hello-2.0 failed: broken package\n";

std::vector<RawPart> partsOf(const std::string& bytes) {
    std::vector<RawPart> parts;
    EXPECT_TRUE(testsupport::splitParts(bytes, parts));
    return parts;
}

const RawPart& part(const std::vector<RawPart>& parts, uint16_t type) {
    for (const RawPart& p : parts) {
        if (p.type == type) return p;
    }
    ADD_FAILURE() << "no part " << type;
    return parts.front();
}

class InstallIntegrityTest : public InstallFixture {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        if (IsSkipped()) return;
        // An earlier version whose removal every failed upgrade stages, and must drop.
        installed(signedPackage(package("hello", "1.0", {{"bin/hello", "one"}})));
        before = snapshot();
    }

    // Version 2.0 with every kind of part the installer reads: lists, an image and files.
    std::string upgrade() {
        vlpkg::PackageSpec description = package("hello", "2.0", {{"bin/hello", "two"}, {"etc/a", "a"}});
        description.provides = {{"greeter", 0, 0, 1}};
        description.image = vlpkg::Content{"the image"};
        return signedPackage(description);
    }

    void expectRefused(const std::string& bytes, const std::string& messages = kBroken) {
        expectUntouched(install(bytes), before, 1, messages);
    }

    std::string before;
};

TEST_F(InstallIntegrityTest, TheUntouchedUpgradeInstalls) {
    const std::string bytes = upgrade();
    ASSERT_EQ(install(bytes).status, 0);
    EXPECT_EQ(sandbox.readFile("/flash/bin/hello"), "two");
    EXPECT_EQ(entry("hello", "image"), bytes);
}

TEST_F(InstallIntegrityTest, UnsignedPackageIsRefused) {
    vlpkg::PackageSpec description = package("hello", "2.0", {{"bin/hello", "two"}});
    expectRefused(testsupport::packageBytes(description));
}

TEST_F(InstallIntegrityTest, SignedWithAnotherKeyIsRefused) {
    testsupport::TempDir keys;
    const RunResult made = testsupport::runProgram(VLPKG_BINARY, {"keygen", "-o", keys.path()});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string foreign = testsupport::signedBytes(
        testsupport::packageBytes(package("hello", "2.0", {{"bin/hello", "two"}})),
        keys.file("ed25519-private.pem"));
    expectRefused(foreign);
}

TEST_F(InstallIntegrityTest, TamperingAnywhereTheSignatureCoversIsRefused) {
    const std::string bytes = upgrade();
    const std::vector<RawPart> parts = partsOf(bytes);
    struct Place {
        const char* what;
        uint64_t offset;
    };
    const Place places[] = {
        {"build time", part(parts, 1).offset + 6 + 20},
        {"provides priority", part(parts, 19).offset + 6 + 2 + 28},
        {"image", part(parts, 21).offset + 6 + 3},
        {"file container", part(parts, 4).offset + 6 + part(parts, 4).payload.size() / 2},
        {"file container length", part(parts, 4).offset + 2},
        {"signature", part(parts, 9).offset + 6 + 100},
        {"digest marker", part(parts, 25).offset},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.what);
        std::string damaged = bytes;
        const size_t at = size_t(place.offset);
        damaged[at] = char(damaged[at] ^ 0x04);
        const RunResult run = install(damaged);
        EXPECT_NE(run.status, 0);
        // A damaged container may be found out while it is unpacked: either way it is broken.
        EXPECT_NE(messagesOf(run.out).find("failed: broken package\n"), std::string::npos)
            << messagesOf(run.out);
        removePostlog();
        EXPECT_EQ(sandbox.listing(), before);
    }
}

TEST_F(InstallIntegrityTest, TrailerAfterTheSignatureIsArchitectureAndEmptyDependenciesOnly) {
    const std::string bytes = upgrade();
    const auto with = [&](std::vector<std::pair<uint16_t, std::string>> trailer) {
        std::string extended = bytes;
        for (const auto& [type, payload] : trailer)
            testsupport::appendPart(extended, type, payload);
        return extended;
    };
    const auto declaring = [&](uint32_t outerLength) {
        std::string length;
        testsupport::putLittle32(length, outerLength);
        return std::string(bytes).replace(4, 4, length);
    };
    const std::string dependency = testsupport::entryList({{"base"}});
    const std::vector<std::pair<const char*, std::string>> refused = {
        {"dependencies", with({{3, dependency}})},
        {"two architectures", with({{16, "i386"}, {16, "i386"}})},
        {"architecture after dependencies", with({{3, ""}, {16, "i386"}})},
        {"conflicts", with({{17, testsupport::little16(0)}})},
        {"provides", with({{19, testsupport::little16(0)}})},
        {"second file container", with({{4, ""}})},
        {"second signature", with({{9, std::string(132, '\0')}})},
        {"image", with({{21, ""}})},
        {"another package", with({{1, testsupport::headerBlock("other", 1, 0)}})},
        {"cut inside the trailer", with({{16, "i386"}}).substr(0, bytes.size() + 8)},
        // The outer length must match what standard input carries, as for a downloaded file.
        {"one byte more than declared", bytes + "x"},
        {"declared one byte more", declaring(uint32_t(bytes.size() - 7))},
        {"declared one byte less", declaring(uint32_t(bytes.size() - 9))},
    };
    for (const auto& [what, extended] : refused) {
        SCOPED_TRACE(what);
        expectRefused(extended);
    }

    for (const auto& [what, extended] : std::vector<std::pair<const char*, std::string>>{
             {"architecture", with({{16, "i386"}})},
             {"empty dependencies", with({{3, ""}})},
             {"both", with({{16, "i386"}, {3, ""}})}}) {
        SCOPED_TRACE(what);
        const RunResult run = install(extended);
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(entry("hello", "image"), extended);
        // Back to version 1.0 for the next case.
        ASSERT_EQ(install(signedPackage(package("hello", "1.0", {{"bin/hello", "one"}})), {"-down"})
                      .status,
                  0);
    }
}

TEST_F(InstallIntegrityTest, CutAtAnyPartBoundaryIsRefused) {
    const std::string bytes = upgrade();
    std::vector<size_t> cuts = {0, 4, 8};
    for (const RawPart& p : partsOf(bytes)) {
        cuts.push_back(p.offset);      // before the part header
        cuts.push_back(p.offset + 3);  // inside it
        cuts.push_back(p.offset + 6);  // before the payload
        if (p.payload.size() > 1) cuts.push_back(p.offset + 6 + p.payload.size() / 2);
    }
    for (size_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(bytes.size()));
        const RunResult run = install(bytes.substr(0, cut));
        EXPECT_EQ(run.status, 1);
        // Only a package whose header could be read is named.
        const std::string messages = messagesOf(run.out);
        EXPECT_TRUE(messages.empty() || messages == kBroken) << messages;
        removePostlog();
        EXPECT_EQ(sandbox.listing(), before);
    }
}

TEST_F(InstallIntegrityTest, NamesTheDatabaseCannotHoldAreRefusedBeforeAnythingIsStaged) {
    for (const std::string& name :
         {std::string(".."), std::string("."), std::string(".hidden"), std::string("a/b"),
          std::string("two words"), std::string("tab\there"), std::string(""),
          std::string("image")}) {
        // As the package's name, or in its dependency, provides or conflicts list.
        for (int where = 0; where < 4; ++where) {
            SCOPED_TRACE(name + " in place " + std::to_string(where));
            vlpkg::PackageSpec description = package("x", "2.0", {{"bin/x", "x"}});
            std::string shown = "x";
            if (where == 0) {
                description.name = shown = name;
            } else {
                auto& list = where == 1   ? description.depends
                             : where == 2 ? description.provides
                                          : description.conflicts;
                list = {{name, 0, 0, 0}};
            }
            for (char& c : shown) c = std::iscntrl(static_cast<unsigned char>(c)) ? '?' : c;
            expectRefused(signedPackage(description),
                          "ERROR: installation of " + shown + "-2.0 failed: broken package\n");
        }
    }
}

}  // namespace
}  // namespace installtest
