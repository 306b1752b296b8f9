// The runners every system test relies on: streams, environment, exit status, root changes and
// private mounts must reach a started program intact. On cross builds that program runs under
// the emulator, so this is also where an emulator that mangles any of them shows up.
#include "support/sandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using testsupport::RunResult;
using testsupport::RunSetup;
using testsupport::Sandbox;

constexpr const char* kChildVariable = "SANDBOX_TEST_CHILD";
constexpr long kTmpfsMagic = 0x01021994;

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string readWhole(std::istream& in) {
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// This test binary doubles as the program the runners start: with kChildVariable set it does
// one small job before main() and exits, the way the installer would.
int childEcho() {
    const std::string input = readWhole(std::cin);
    std::cout << input << std::flush;
    const char* word = getenv("SANDBOX_TEST_WORD");
    std::cerr << (word ? word : "(unset)") << '|'
              << (getenv("SANDBOX_TEST_REMOVED") ? "present" : "absent") << std::flush;
    const char* status = getenv("SANDBOX_TEST_STATUS");
    return status ? atoi(status) : 0;
}

// Changes its root as "-r" does, then reports what it finds there.
int childInRoot() {
    const char* root = getenv("SANDBOX_TEST_ROOT");
    if (!root || chroot(root) != 0 || chdir("/") != 0) {
        perror("chroot");
        return 3;
    }
    std::ifstream probe("/flash/probe");
    std::cout << "probe=" << readWhole(probe) << '\n';
    struct statfs info;
    if (statfs("/ram", &info) == 0) {
        std::cout << "ram tmpfs=" << (static_cast<long>(info.f_type) == kTmpfsMagic)
                  << " bytes=" << static_cast<unsigned long long>(info.f_blocks) * info.f_bsize
                  << '\n';
    }
    std::ofstream("/ram/written") << "inside";
    std::ofstream("/flash/written") << "inside";
    return 0;
}

[[maybe_unused]] const bool childDone = [] {
    const char* job = getenv(kChildVariable);
    if (!job) return false;
    const std::string name = job;
    int status = 125;
    if (name == "echo") status = childEcho();
    if (name == "root") status = childInRoot();
    if (name == "terminate") raise(SIGTERM);
    std::cout.flush();
    _exit(status);
}();

RunSetup child(const char* job) {
    RunSetup setup;
    setup.env[kChildVariable] = job;
    return setup;
}

TEST(SandboxRunnerTest, StreamsEnvironmentAndStatusReachTheProgram) {
    // Far more than a pipe holds, so feeding and draining must interleave.
    std::string input;
    for (int i = 0; input.size() < (1u << 20); ++i) input += std::to_string(i) + '\n';
    setenv("SANDBOX_TEST_REMOVED", "1", 1);
    RunSetup setup = child("echo");
    setup.input = input;
    // emplace, not operator[] with a literal: GCC 12 at -O3 reports a false overlap there.
    setup.env.emplace("SANDBOX_TEST_WORD", "word with spaces");
    setup.env.emplace("SANDBOX_TEST_STATUS", "7");
    setup.unsetEnv = {"SANDBOX_TEST_REMOVED"};
    const RunResult run = testsupport::runProgram(selfPath(), {}, setup);
    unsetenv("SANDBOX_TEST_REMOVED");
    EXPECT_EQ(run.status, 7);
    EXPECT_TRUE(run.out == input) << "stdout differs from stdin; " << run.out.size() << " of "
                                  << input.size() << " bytes came back";
    EXPECT_EQ(run.err, "word with spaces|absent");
}

TEST(SandboxRunnerTest, DeathBySignalIsReportedAsSignalStatus) {
    const RunResult run = testsupport::runProgram(selfPath(), {}, child("terminate"));
    EXPECT_EQ(run.status, 128 + SIGTERM);
}

TEST(SandboxRunnerTest, ProgramChangesItsRootIntoTheSandbox) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/flash/probe", "from the host");
    RunSetup setup = child("root");
    setup.env["SANDBOX_TEST_ROOT"] = sandbox.root();
    const RunResult run = testsupport::runProgram(selfPath(), {}, setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "probe=from the host");
    EXPECT_EQ(sandbox.readFile("/flash/written"), "inside");
    EXPECT_EQ(sandbox.readFile("/ram/written"), "inside");
}

TEST(SandboxRunnerTest, MountsAreTheProgramsAloneAndEndWithIt) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    const size_t bytes = 256 * 1024;
    RunSetup setup = child("root");
    setup.env["SANDBOX_TEST_ROOT"] = sandbox.root();
    // runProgram takes host paths; runInstaller would add the sandbox root itself.
    setup.mounts = {{sandbox.path("/ram"), bytes}};
    const RunResult run = testsupport::runProgram(selfPath(), {}, setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("ram tmpfs=1 bytes=" + std::to_string(bytes) + "\n"), std::string::npos)
        << run.out;
    // The file went to the tmpfs, which vanished with the program's mount namespace.
    EXPECT_FALSE(sandbox.exists("/ram/written"));
    EXPECT_EQ(sandbox.readFile("/flash/written"), "inside");
    std::ifstream mounts("/proc/self/mounts");
    EXPECT_EQ(readWhole(mounts).find(sandbox.root()), std::string::npos);
}

TEST(SandboxRunnerTest, InRootBodySeesTheSandboxAndItsMounts) {
    REQUIRE_ROOT_CHANGE();
    Sandbox sandbox;
    sandbox.writeFile("/flash/probe", "seen");
    const RunResult run = testsupport::runInRoot(
        sandbox,
        [] {
            std::ifstream probe("/flash/probe");
            struct statfs info;
            const bool onTmpfs =
                statfs("/ram", &info) == 0 && static_cast<long>(info.f_type) == kTmpfsMagic;
            std::cout << readWhole(probe) << ' ' << onTmpfs << std::flush;
            return 42;
        },
        {.mounts = {{"/ram", 64 * 1024}}});
    EXPECT_EQ(run.status, 42);
    EXPECT_EQ(run.out, "seen 1");
}

}  // namespace
