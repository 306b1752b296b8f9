// "--cleanup" through the built binary: outdated packages and their files leave the database.
#include <gtest/gtest.h>

#include <cstdlib>

#include "record/package_record.h"
#include "support/sandbox.h"

using namespace velmara;

namespace {

using testsupport::Sandbox;

std::string versionFile(PackageVersion version) { return std::to_string(version) + " 0\n"; }

const PackageVersion k71 = makeVersion(7, 1, kReleaseFinal, 0);
const PackageVersion k10 = makeVersion(1, 0, kReleaseFinal, 0);

class CleanupTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_ROOT_CHANGE(); }

    void entry(const std::string& name, PackageVersion version, const std::string& deps = "",
               const std::string& file = "") {
        const std::string dir = "/flash/var/pdb/" + name + "/";
        sandbox.writeFile(dir + "version", versionFile(version));
        if (!deps.empty()) sandbox.writeFile(dir + "deps", deps);
        sandbox.writeFile(dir + "files", file.empty() ? "" : file + "\n");
        if (!file.empty()) sandbox.writeFile(file, name);
    }

    testsupport::RunResult cleanup() {
        const char* asan = getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan ? asan : "") + ":detect_leaks=0";
        return testsupport::runInstaller(sandbox, {"-r", sandbox.root(), "--cleanup"},
                                         {.env = {{"ASAN_OPTIONS", options}}});
    }

    Sandbox sandbox;
};

TEST_F(CleanupTest, UninstallsOutdatedPackagesAndKeepsWhatOthersNeed) {
    const std::string recent = "system " + std::to_string(makeVersion(3, 22, kReleaseFinal, 0)) + " 0\n";
    const std::string outdated = "system " + std::to_string(makeVersion(3, 21, kReleaseFinal, 0)) + " 0\n";
    entry("system", k71, "", "/flash/boot/kernel");
    entry("wisp", k10);
    entry("disk-drivers", k10);
    entry("tool", k10, recent + "lib 0 0\n", "/flash/bin/tool");
    entry("lib", k10, "", "/flash/lib/lib.so");
    entry("old", k10, outdated, "/flash/bin/old");
    entry("plain", k10, "", "/flash/bin/plain");

    const auto run = cleanup();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "WARNING: can not uninstall lib-1.0: tool depends on it\n");
    for (const char* kept : {"system", "wisp", "disk-drivers", "tool", "lib"})
        EXPECT_TRUE(sandbox.exists(std::string("/flash/var/pdb/") + kept + "/version")) << kept;
    for (const char* gone : {"old", "plain"})
        EXPECT_FALSE(sandbox.exists(std::string("/flash/var/pdb/") + gone)) << gone;
    EXPECT_FALSE(sandbox.exists("/flash/bin/old"));
    EXPECT_FALSE(sandbox.exists("/flash/bin/plain"));
    EXPECT_TRUE(sandbox.exists("/flash/bin/tool"));
    EXPECT_TRUE(sandbox.exists("/flash/boot/kernel"));
    EXPECT_FALSE(sandbox.exists("/flash/PCKGS_CHANGED"));  // cleanup stages no flag file
    EXPECT_FALSE(sandbox.exists("/flash/postlog"));
}

TEST_F(CleanupTest, ScheduledRequestsAreCarriedOutFirst) {
    entry("system", k71);
    entry("wisp", k10);
    sandbox.writeFile("/ram/pdb/wisp/schedule", "disable\n");
    const auto run = cleanup();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");  // the first pass is silent
    EXPECT_EQ(sandbox.readFile("/flash/var/pdb/wisp/disabled"), "user\n");
    EXPECT_FALSE(sandbox.exists("/flash/var/pdb/wisp/enabled"));
}

}  // namespace
