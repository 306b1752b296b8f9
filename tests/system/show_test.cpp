// "--show" run through the built binary in a sandbox root, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>

#include "record/package_record.h"
#include "support/package_bytes.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::PackageBytes;
using testsupport::RunResult;
using testsupport::Sandbox;

const std::string kTableHead =
    "            Name          Version                Built                                    "
    "Note\n" +
    std::string(94, '-') + "\n";
const PackageVersion kSuiteVersion = makeVersion(7, 1, kReleaseBeta, 3);
constexpr uint32_t kMarch2019 = 1551954125;

// Parts of a single package after its header.
PackageBytes& finish(PackageBytes& bytes) {
    return bytes.part(4, "file container").part(9, std::string(68, 's'));
}

class ShowTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_ROOT_CHANGE(); }

    // A bundle kept as an image, one package kept in the image store, and one entry that has
    // only its metadata files: one of each, so the loaded order is fixed.
    void buildDatabase() {
        PackageBytes suite;
        suite.part(18, testsupport::headerBlock("suite", kSuiteVersion, kMarch2019)).part(21, "");
        finish(suite.header("wifi", kSuiteVersion, kMarch2019).part(23, "radio driver"));
        finish(suite.header("vpn", makeVersion(1, 0, kReleaseFinal, 0), 0));
        sandbox.writeFile("/flash/var/pdb/suite/image", suite.bytes());
        sandbox.writeFile("/flash/var/pdb/wifi/disabled", "user\n");
        sandbox.makeDirectory("/flash/var/pdb/vpn");

        PackageBytes stored;
        finish(stored.header("stored", makeVersion(6, 45, kReleaseFinal, 1), 0));
        sandbox.writeFile("/rw/pckg/.images/stored", stored.bytes());
        sandbox.makeDirectory("/flash/var/pdb/stored");

        sandbox.writeFile("/flash/var/pdb/a-twenty-char-name-x/version", "33579777 1700000000\n");
        sandbox.writeFile("/flash/var/pdb/a-twenty-char-name-x/files", "flash/bin/x\n");
    }

    RunResult show(std::vector<std::string> args) {
        args.insert(args.begin(), {"-r", sandbox.root()});
        // The leak checker of sanitizer builds reads /proc at exit, which the changed root
        // lacks; leaks of the loader are left to the in-process tests.
        const char* asan = getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan ? asan : "") + ":detect_leaks=0";
        return testsupport::runInstaller(sandbox, args, {.env = {{"ASAN_OPTIONS", options}}});
    }

    Sandbox sandbox;
};

const std::string kTable = kTableHead +
                           "            wifi XB      7.1beta3 Mar/07/2019 10:22:05                 "
                           "            radio driver\n"
                           "             vpn  B           1.0 Jan/01/1970 00:00:00                 "
                           "                        \n"
                           "           suite         7.1beta3 Mar/07/2019 10:22:05                 "
                           "                        \n"
                           "          stored           6.45.1 Jan/01/1970 00:00:00                 "
                           "                        \n"
                           "a-twenty-char-name-x           2.0rc1 Nov/14/2023 22:13:20             "
                           "                            \n";

TEST_F(ShowTest, ListsImagesStoreAndMetadataEntriesInLoadedOrder) {
    buildDatabase();
    const std::string before = sandbox.listing();
    const RunResult run = show({"--show"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kTable);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sandbox.listing(), before);  // listing changes nothing
}

TEST_F(ShowTest, ListingPrintsUnderQuietAndWinsOverLaterModes) {
    buildDatabase();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-q", "--show"}, {"--show", "--cleanup"}, {"--show", "-"}, {"--show", "-down"}}) {
        const RunResult run = show(args);
        EXPECT_EQ(run.status, 0) << args[0] << ' ' << args[1];
        EXPECT_EQ(run.out, kTable) << args[0] << ' ' << args[1];
    }
}

TEST_F(ShowTest, MissingDatabaseWarnsUnlessQuiet) {
    RunResult run = show({"--show"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "WARNING: could not open repo\n" + kTableHead);
    run = show({"--show", "-q"});
    EXPECT_EQ(run.out, kTableHead);

    sandbox.makeDirectory("/flash/var/pdb/.hidden");
    run = show({"--show"});
    EXPECT_EQ(run.out, kTableHead);
}

}  // namespace
