// Every open, read, write, rename, chmod and fsync of an installing run is failed in turn, with
// EIO and with ENOSPC. A run that did not complete says so (a non-zero status and an error)
// and leaves the router root exactly as it was; one that completed leaves exactly the new
// state; none aborts. Together: no failure costs an installed package its files.
//
// By default each kind of call is failed at FAILURE_SWEEP_POINTS points spread over the run
// (12); FAILURE_SWEEP_POINTS=all fails every call. The sweep stops at the commit's first rename:
// a failure inside the commit is the commit's own to survive, swept with it;
// FAILURE_SWEEP_COMMIT=1 sweeps on through the commit.
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "install_fixture.h"
#include "support/syscall_trace.h"

namespace installtest {
namespace {

using testsupport::TracePlan;
using testsupport::TraceResult;

constexpr size_t kDefaultPointsPerKind = 12;
const char* const kDownload = "/rw/pckg/.download/";

// Installs a package into the root being prepared.
using Install = std::function<void(const std::string&)>;

struct Scenario {
    const char* name;
    // Builds the old state in a fresh root; returns what the run reads on standard input.
    std::function<std::string(testsupport::Sandbox&, const Install&)> prepare;
    std::vector<std::string> options;  // before "-r ROOT"; "-" when the input is a package
};

vlpkg::PackageSpec withImage(vlpkg::PackageSpec description) {
    description.image = vlpkg::Content{"kept whole", ""};
    return description;
}

// net (files only), app (kept as an image), and a bundle; net is to be disabled by the run.
void installedSet(testsupport::Sandbox& root, const Install& install) {
    install(signedPackage(package("net", "1.0", {{"etc/net.conf", "n1"}, {"bin/net", "N"}})));
    install(signedPackage(withImage(
        package("app", "1.0", {{"bin/app", "a1"}, {"lib/app.so", "L"}, {"etc/app.conf", "c"}}))));
    vlpkg::BundleSpec suite;
    suite.name = "suite";
    suite.version = version("1.0");
    suite.members = {package("ui", "1.0", {{"www/ui.js", "u1"}}),
                     package("api", "1.0", {{"bin/api", "p1"}})};
    install(signedBundle(suite));
    root.writeFile("/ram/pdb/net/schedule", "disable");
}

// The next version of app: a file changed, one dropped, one added.
vlpkg::PackageSpec appTwo() {
    return withImage(
        package("app", "2.0", {{"bin/app", "a2"}, {"etc/app.conf", "c"}, {"share/app.dat", "D"}}));
}

const Scenario kScenarios[] = {
    {"StandardInput",
     [](testsupport::Sandbox& root, const Install& install) {
         installedSet(root, install);
         return signedPackage(appTwo());
     },
     {"-"}},
    {"Upgrade",
     [](testsupport::Sandbox& root, const Install& install) {
         installedSet(root, install);
         root.writeFile(std::string(kDownload) + "app.vlp", signedPackage(appTwo()));
         vlpkg::BundleSpec suite;
         suite.name = "suite";
         suite.version = version("2.0");
         suite.members = {package("ui", "2.0", {{"www/ui.js", "u2"}, {"www/ui.css", "s"}}),
                          package("api", "1.0", {{"bin/api", "p1"}})};
         root.writeFile(std::string(kDownload) + "suite.vlp", signedBundle(suite));
         return std::string();
     },
     {}},
};

constexpr uint32_t kSweptKinds = testsupport::Open | testsupport::Read | testsupport::Write |
                                 testsupport::Rename | testsupport::Chmod | testsupport::Fsync;

size_t pointsPerKind() {
    const char* text = std::getenv("FAILURE_SWEEP_POINTS");
    if (text && std::string(text) == "all") return SIZE_MAX;
    return text && std::atoi(text) > 0 ? size_t(std::atoi(text)) : kDefaultPointsPerKind;
}

// Up to `wanted` of the indices 0..count-1, spread evenly, first and last included.
std::vector<uint64_t> spread(uint64_t count, size_t wanted) {
    std::vector<uint64_t> picked;
    if (count == 0) return picked;
    if (wanted >= count) wanted = size_t(count);
    for (size_t i = 0; i < wanted; ++i) {
        const uint64_t at = wanted == 1 ? 0 : i * (count - 1) / (wanted - 1);
        if (picked.empty() || picked.back() != at) picked.push_back(at);
    }
    return picked;
}

namespace fs = std::filesystem;

void copyTree(const testsupport::Sandbox& from, const testsupport::Sandbox& to) {
    fs::copy(from.root(), to.root(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                 fs::copy_options::overwrite_existing);
}

const std::pair<uint32_t, const char*> kKinds[] = {
    {testsupport::Open, "open"},     {testsupport::Read, "read"},   {testsupport::Write, "write"},
    {testsupport::Rename, "rename"}, {testsupport::Chmod, "chmod"}, {testsupport::Fsync, "fsync"}};

class FailureSweep : public InstallFixture,
                     public ::testing::WithParamInterface<std::tuple<Scenario, int>> {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        if (IsSkipped()) return;
        REQUIRE_TRACE();
        input = std::get<0>(GetParam()).prepare(sandbox, [this](const std::string& bytes) {
            installed(bytes);
        });
        oldState = snapshot();
        copyTree(sandbox, oldRoot);
    }

    // A fresh copy of the old state, run under the plan; the root's listing afterwards.
    TraceResult run(const TracePlan& plan, std::string& listing) {
        testsupport::Sandbox root;
        copyTree(oldRoot, root);
        std::vector<std::string> args = {"-r", root.root()};
        const auto& options = std::get<0>(GetParam()).options;
        args.insert(args.end(), options.begin(), options.end());
        TraceResult result = testsupport::traceInstaller(root, args, plan, {.input = input});
        std::remove(root.path("/flash/postlog").c_str());
        listing = root.listing();
        return result;
    }

    testsupport::Sandbox oldRoot;
    std::string input;
    std::string oldState;
};

TEST_P(FailureSweep, AFailedCallLeavesTheOldStateOrTheRunCompletes) {
    const int error = std::get<1>(GetParam());
    std::string newState;
    TracePlan count{.action = TracePlan::Count, .kinds = kSweptKinds, .startAfter = SYS_chroot};
    const TraceResult whole = run(count, newState);
    ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
    ASSERT_NE(newState, oldState);

    size_t end = whole.calls.size();
    const char* commit = std::getenv("FAILURE_SWEEP_COMMIT");
    if (!commit || std::string(commit) != "1") {
        for (size_t i = 0; i < end; ++i) {
            if (testsupport::syscallKind(whole.calls[i]) == testsupport::Rename) end = i;
        }
    }
    std::map<uint32_t, uint64_t> occurrences;
    for (size_t i = 0; i < end; ++i) ++occurrences[testsupport::syscallKind(whole.calls[i])];

    std::map<int, size_t> statuses;
    size_t failed = 0;
    size_t sanitizerCalls = 0;
    for (const auto& [kind, kindName] : kKinds) {
        for (const uint64_t at : spread(occurrences[kind], pointsPerKind())) {
            SCOPED_TRACE(std::string(kindName) + " #" + std::to_string(at));
            std::string after;
            const TraceResult r = run({.action = TracePlan::Fail,
                                       .kinds = kind,
                                       .at = at,
                                       .error = error,
                                       .startAfter = SYS_chroot},
                                      after);
            ASSERT_TRUE(r.acted);
            // Under the sanitizers their runtime makes calls of its own (it probes memory by
            // writing to a pipe); one failed there is not the installer's to handle.
            if (r.err.find("SanitizerTool: CHECK failed") != std::string::npos) {
                ++sanitizerCalls;
                continue;
            }
            ++failed;
            ++statuses[r.status];
            // Ended by a signal (an uncaught exception aborts): 128 and more, but for -1.
            EXPECT_TRUE(r.status < 128 || r.status == 255) << "status " << r.status << r.err;
            if (r.status == 0) {
                EXPECT_EQ(after, newState) << r.out;
            } else {
                EXPECT_NE(r.out.find("ERROR: "), std::string::npos) << r.out << r.err;
                EXPECT_EQ(after, oldState) << r.out;
            }
        }
    }
    std::string summary;
    for (const auto& [status, runs] : statuses)
        summary += " status " + std::to_string(status) + ": " + std::to_string(runs);
    std::cout << std::get<0>(GetParam()).name << ", " << (error == EIO ? "EIO" : "ENOSPC") << ": "
              << failed << " of " << end << " calls failed;" << summary;
    if (sanitizerCalls != 0) std::cout << "; " << sanitizerCalls << " sanitizer calls passed over";
    std::cout << '\n';
}

INSTANTIATE_TEST_SUITE_P(Runs, FailureSweep,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::Values(EIO, ENOSPC)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == EIO ? "Eio" : "Enospc");
                         });

}  // namespace
}  // namespace installtest
