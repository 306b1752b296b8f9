// Where a package's files may land, and when they go: a package may not put a file on a
// directory, below a file, or on the installer's own paths; two packages may ship one path, which
// then goes only with the last package that lists it; a directory never goes with a package.
#include <cstdlib>
#include <functional>

#include "install_fixture.h"

namespace installtest {
namespace {

class FileRulesTest : public InstallFixture {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        if (IsSkipped()) return;
        // "base" keeps something installed whatever else goes.
        installed(signedPackage(package("base", "1.0", {{"bin/base", "b"}})));
        installed(signedPackage(package("net", "1.0", {{"etc/net.conf", "n"}, {"bin/net", "N"}})));
    }

    // An upgrade run with nothing to install carries out the uninstall request.
    RunResult uninstall(const std::string& name) {
        sandbox.writeFile("/ram/pdb/" + name + "/schedule", "uninstall");
        // The leak checker reads /proc at exit, which the changed root lacks.
        const char* asan = getenv("ASAN_OPTIONS");
        const RunResult run = testsupport::runInstaller(
            sandbox, {"-r", sandbox.root()},
            {.env = {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}}});
        std::remove(sandbox.path("/ram/pdb/" + name + "/schedule").c_str());
        return run;
    }
};

TEST_F(FileRulesTest, FilesOnDirectoriesBelowFilesOrOnTheInstallersPathsAreRefused) {
    const std::string before = snapshot();
    const struct {
        std::vector<std::pair<std::string, std::string>> files;  // written sorted by name
        const char* why;
    } cases[] = {
        {{{"etc", "x"}}, "/flash/etc is a directory"},
        {{{"etc/net.conf/sub", "x"}}, "/flash/etc/net.conf is not a directory"},
        // Both orders within one package: a staged file, and staged files below a name.
        {{{"new", "1"}, {"new/sub", "2"}}, "/flash/new is not a directory"},
        {{{"/new/sub", "1"}, {"new", "2"}}, "/flash/new is a directory"},
        {{{"var/pdb/net/version", "1 0"}},
         "/flash/var/pdb/net/version is reserved for the installer"},
        {{{"var/pdb", "x"}}, "/flash/var/pdb is reserved for the installer"},
        {{{"var", "x"}}, "/flash/var is reserved for the installer"},
        {{{"bootimage", "x"}}, "/flash/bootimage is reserved for the installer"},
        {{{"PCKGS_CHANGED", "x"}}, "/flash/PCKGS_CHANGED is reserved for the installer"},
        {{{"postlog", "x"}}, "/flash/postlog is reserved for the installer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        expectUntouched(
            install(signedPackage(package("evil", "1.0", c.files))), before, 1,
            std::string("ERROR: installation of evil-1.0 failed: broken package: ") + c.why + "\n");
    }
}

TEST_F(FileRulesTest, APathGoesOnlyWithTheLastPackageThatListsIt) {
    // A later package overwrites a path that an installed one ships.
    installed(signedPackage(package("alt", "1.0", {{"etc/net.conf", "a"}, {"bin/alt", "A"}})));
    ASSERT_EQ(sandbox.readFile("/flash/etc/net.conf"), "a");
    // An entry from an older installer that listed a directory among its files.
    sandbox.writeFile("/flash/var/pdb/old/version", "16777216 0\n");
    sandbox.writeFile("/flash/var/pdb/old/files", "flash/etc\nflash/old.txt\n");
    sandbox.writeFile("/flash/old.txt", "o");

    const struct {
        const char* what;
        std::function<RunResult()> run;
        std::vector<const char*> kept, gone;
    } steps[] = {
        {"alt upgraded without it",
         [&] {
             return install(signedPackage(package("alt", "2.0", {{"bin/alt", "A2"}})));
         },
         {"/flash/etc/net.conf", "/flash/bin/alt"},
         {}},
        {"the old entry uninstalled",
         [&] { return uninstall("old"); },
         {"/flash/etc/net.conf"},
         {"/flash/old.txt"}},
        {"net uninstalled",
         [&] { return uninstall("net"); },
         {"/flash/bin/base"},
         {"/flash/etc/net.conf", "/flash/bin/net"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const RunResult run = step.run();
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        for (const char* path : step.kept) EXPECT_TRUE(sandbox.exists(path)) << path;
        for (const char* path : step.gone) EXPECT_FALSE(sandbox.exists(path)) << path;
    }
}

}  // namespace
}  // namespace installtest
