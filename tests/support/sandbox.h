// A temporary router root for tests, and the two ways to run the installer inside one: the
// built binary with "-r", or a forked child that changes its root and calls code in-process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class Sandbox {
public:
    Sandbox();  // a fresh directory holding /flash, /ram, /rw, /tmp and /dev
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    // The host path of a path inside the router root ("/flash/x" -> "<root>/flash/x").
    std::string path(const std::string& inside) const { return root_ + inside; }

    void writeFile(const std::string& inside, const std::string& contents, unsigned mode = 0644);
    std::string readFile(const std::string& inside) const;
    bool exists(const std::string& inside) const;
    void makeDirectory(const std::string& inside);
    // Every file, directory and link below the root with its type, mode and contents; two
    // listings compare equal only when nothing inside changed.
    std::string listing() const;

private:
    std::string root_;
};

// Points the installer's staging marker and journal into the sandbox for the life of the object,
// for staging code run in the test process itself, outside any changed root.
class StagingInside {
  public:
    explicit StagingInside(const Sandbox& sandbox);
    ~StagingInside();
    StagingInside(const StagingInside&) = delete;
    StagingInside& operator=(const StagingInside&) = delete;
};

// A tmpfs of the given size mounted at a path inside the sandbox, for the length of one run.
struct TmpfsMount {
    std::string inside;
    uint64_t bytes;  // may exceed 4 GiB on a 32-bit machine too: it is only a limit
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct RunSetup {
    std::string input;                          // written to standard input
    std::map<std::string, std::string> env;     // set in addition to the test's environment
    std::vector<std::string> unsetEnv;          // removed from the environment
    std::vector<TmpfsMount> mounts;             // mounted in a private mount namespace
};

// Whether this process may change roots (root, or an unprivileged user namespace); tests that
// need it skip when it is false.
bool canChangeRoot();
const char* noPrivilegeReason();

// Runs the installer binary with these arguments (the caller adds "-r", sandbox.root()).
RunResult runInstaller(const Sandbox& sandbox, const std::vector<std::string>& args,
                       const RunSetup& setup = {});
// Runs any program of the build (installer, vlpkg) outside a sandbox.
RunResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                     const RunSetup& setup = {});
// Forks; the child mounts, changes its root to the sandbox, changes to "/" and returns body()'s
// value as its exit status. Standard output and error are captured.
RunResult runInRoot(const Sandbox& sandbox, const std::function<int()>& body,
                    const RunSetup& setup = {});

// The pieces of the runners above, for runners that wrap them (the system-call tracer).
namespace detail {
void applyEnvironment(const RunSetup& setup);
// A runner's setup with its mounts made host paths below the sandbox.
inline RunSetup hostSetup(const Sandbox& sandbox, RunSetup setup) {
    for (auto& m : setup.mounts) m.inside = sandbox.root() + m.inside;
    return setup;
}
// The work of a forked child: `hook` runs right before the program is executed or the body is
// called, once mounts and the root change are done.
std::function<int()> programChild(const std::string& binary, const std::vector<std::string>& args,
                                  const RunSetup& setup, const std::function<void()>& hook);
std::function<int()> rootChild(const Sandbox& sandbox, const std::function<int()>& body,
                               const RunSetup& setup, const std::function<void()>& hook);
}  // namespace detail

}  // namespace testsupport

#define REQUIRE_ROOT_CHANGE()                                                 \
    do {                                                                      \
        if (!::testsupport::canChangeRoot())                                  \
            GTEST_SKIP() << ::testsupport::noPrivilegeReason();               \
    } while (0)
