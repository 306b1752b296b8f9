// An upgrade of three installed packages (one a bundle, one kept as an image) that replaces, adds
// and removes files and changes every database file, the commit of the same upgrade saved by
// "--safe", and the installation of one of its packages from standard input, cut at their
// system calls. At each chosen call the run is killed and, from the
// same run, a copy is taken of what had reached the block device of the ext4 flash (a power
// cut, after which /ram is empty); or the call fails with EIO, or with ENOSPC from then on. One
// more run follows. The router must then hold exactly the old or exactly the new state (every
// file's bytes and mode, every database file) and no temporary file; a failing run whose new
// state is not complete ends with a non-zero status and says why.
//
// By default a sample of the calls is tried: every call that changes names (rename, unlink,
// mkdir, link), every sync, and a spread of the others. INSTALLER_SWEEP=all tries every call.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "frontend/command_line.h"
#include "install_fixture.h"
#include "staging/temporaries.h"
#include "support/syscall_trace.h"

using namespace velmara;

namespace {

using namespace installtest;
using testsupport::Ext4Image;
using testsupport::TempDir;
using testsupport::TracePlan;
using testsupport::TraceResult;

constexpr uint64_t kFlashBytes = 32 << 20;
constexpr size_t kSampledPoints = 12;  // besides the calls that change names or sync
constexpr uint32_t kNameChanges = testsupport::Rename | testsupport::Unlink | testsupport::Mkdir |
                                  testsupport::Link | testsupport::Fsync;
constexpr uint32_t kInjected =
    testsupport::Write | testsupport::Rename | testsupport::Fsync | testsupport::Open;

enum class Cut { Kill, Fail };
enum class Mode { Upgrade, SavedSet, Stdin };  // a saved set: what an earlier "--safe" run saved

struct Sweep {
    const char* name;
    Mode mode;
    Cut cut;  // killed (and cut by a power failure), or calls failed
};

void PrintTo(const Sweep& sweep, std::ostream* out) {
    *out << sweep.name;
}

const Sweep kSweeps[] = {
    {"UpgradeKilledOrCut", Mode::Upgrade, Cut::Kill},
    {"SavedSetCommitKilledOrCut", Mode::SavedSet, Cut::Kill},
    {"StdinInstallKilledOrCut", Mode::Stdin, Cut::Kill},
    {"UpgradeCallsFail", Mode::Upgrade, Cut::Fail},
    {"SavedSetCommitCallsFail", Mode::SavedSet, Cut::Fail},
    {"StdinInstallCallsFail", Mode::Stdin, Cut::Fail},
};

enum State { Old, New, Mixed };
const char* const kStateNames[] = {"old", "new", "mixed"};

bool sweepAll() {
    const char* all = std::getenv("INSTALLER_SWEEP");
    return all && std::string(all) == "all";
}

vlpkg::PackageSpec withDepends(vlpkg::PackageSpec package, std::vector<DependencyEntry> depends,
                               std::vector<DependencyEntry> provides = {},
                               std::vector<DependencyEntry> conflicts = {}) {
    package.depends = std::move(depends);
    package.provides = std::move(provides);
    package.conflicts = std::move(conflicts);
    return package;
}

vlpkg::PackageSpec withImage(vlpkg::PackageSpec package, const std::string& image) {
    package.image = vlpkg::Content{image, ""};
    return package;
}

vlpkg::BundleSpec suite(const std::string& versionText, std::vector<vlpkg::PackageSpec> members) {
    vlpkg::BundleSpec bundle;
    bundle.name = "suite";
    bundle.version = version(versionText);
    bundle.buildTime = 1700000000;
    bundle.members = std::move(members);
    return bundle;
}

// The three packages as installed, and the files of the upgrade that replaces them.
std::vector<std::string> oldPackages() {
    return {
        signedPackage(withDepends(package("base", "1.0",
                                          {{"bin/base", "base 1"},
                                           {"etc/base.conf", "conf 1"},
                                           {"lib/base/old.so", std::string(3000, 'o')}}),
                                  {}, {{"core", 0, 0, 0}})),
        signedPackage(withImage(
            withDepends(
                package("webui", "1.0", {{"www/index.html", "index 1"}, {"www/old.js", "old"}}),
                {{"base", 0, 0, 0}}),
            "webui image 1")),
        signedBundle(suite(
            "1.0", {package("net", "1.0", {{"sbin/net", "net 1"}, {"etc/net.conf", "net conf"}}),
                    package("vpn", "1.0", {{"sbin/vpn", "vpn 1"}})}))};
}

std::map<std::string, std::string> newPackageFiles() {
    vlpkg::PackageSpec base = package("base", "2.0",
                                      {{"bin/base", "base 2"},
                                       {"etc/base.conf", "conf 2"},
                                       {"lib/base/new.so", std::string(5000, 'n')}});
    base.files[0].mode = vlpkg::kModeRegular | 0755;
    return {
        {"base.vlp", signedPackage(withDepends(base, {{"net", 0, 0, 0}},
                                               {{"core", 0, 0, 0}, {"base-api", 2, 0, 1}},
                                               {{"legacy", 0, 0, 0}}))},
        {"webui.vlp", signedPackage(withImage(withDepends(package("webui", "2.0",
                                                                  {{"www/index.html", "index 2"},
                                                                   {"www/app/main.js", "main"}}),
                                                          {{"base", 0, 0, 0}}),
                                              std::string(20000, 'w')))},
        {"suite.vlp",
         signedBundle(suite(
             "2.0", {package("net", "2.0", {{"sbin/net", "net 2"}, {"etc/net/routes", "routes"}}),
                     package("fw", "2.0", {{"sbin/fw", "fw 2"}})}))}};
}

class PowerCutSweep : public ::testing::TestWithParam<Sweep> {
  protected:
    void SetUp() override {
        REQUIRE_TRACE();
        std::string reason;
        if (!Ext4Image::available(reason)) GTEST_SKIP() << reason;
        // The image files live in memory: what the flash syncs then costs nothing on the
        // machine's disk, and copies of them are quick.
        ASSERT_EQ(mount("tmpfs", images.path().c_str(), "tmpfs", 0, "size=512m"), 0);
        imagesInMemory = true;
        flashDir = sandbox.path("/flash");
        base = std::make_unique<Ext4Image>(images.file("base.img"), kFlashBytes);
        ASSERT_TRUE(base->made());
        ASSERT_TRUE(base->mount(flashDir));
        sandbox.makeDirectory("/flash/var/pdb");
        for (const std::string& bytes : oldPackages()) {
            const RunResult run = installer({"-"}, bytes);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
        }
        for (const auto& [file, bytes] : newPackageFiles())
            sandbox.writeFile("/rw/pckg/.download/" + file, bytes);
        stdinPackage = newPackageFiles()["webui.vlp"];
        oldState = stateOf();
        Ext4Image::unmount(flashDir);
        start = images.file("start.img");
        ASSERT_TRUE(Ext4Image::copy(base->path(), start));
        if (GetParam().mode == Mode::SavedSet) {
            // The saved set and its staged files are what the cut run starts from.
            ASSERT_TRUE(Ext4Image::mountFile(start, flashDir));
            const RunResult saved = installer({"--safe"});
            ASSERT_EQ(saved.status, 0) << saved.out << saved.err;
            for (const auto& file : std::filesystem::directory_iterator(sandbox.path("/ram"))) {
                const std::string name = file.path().filename().string();
                ramFiles[name] = {sandbox.readFile("/ram/" + name),
                                  unsigned(file.status().permissions())};
            }
            ASSERT_EQ(ramFiles.count("MANIFEST"), 1u);
            Ext4Image::unmount(flashDir);
        }
        // The run whole, counted: its calls, and the new state it leaves.
        startFrom(start);
        const TraceResult whole = traced({});
        ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
        calls = whole.calls;
        newState = stateOf();
        Ext4Image::unmount(flashDir);
        ASSERT_NE(oldState, newState) << whole.out;
    }

    void TearDown() override {
        if (!flashDir.empty()) Ext4Image::unmount(flashDir);
        base.reset();
        if (imagesInMemory) umount2(images.path().c_str(), MNT_DETACH);
    }

    RunResult installer(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"-r", sandbox.root()});
        return testsupport::runInstaller(sandbox, args, {.input = input, .env = kNoLeakCheck});
    }

    static int entry(std::vector<std::string> args) {
        std::vector<char*> argv{const_cast<char*>("installer")};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return installerMain(int(argv.size() - 1), argv.data());
    }

    // The cut run: the upgrade or the installation through the binary, or "--commit", which acts
    // before any root change, in a child that changed its root itself.
    TraceResult traced(TracePlan plan) {
        plan.filesOnly = true;
        if (GetParam().mode == Mode::SavedSet) {
            // Counted from a call the installer never makes: the sanitizers' own calls while
            // the child gets ready are no part of the run.
            plan.startAfter = SYS_getppid;
            return testsupport::traceInRoot(
                sandbox, [] { return syscall(SYS_getppid) > 0 ? entry({"--commit"}) : 125; }, plan);
        }
        plan.startAfter = SYS_chroot;
        const bool stdin = GetParam().mode == Mode::Stdin;
        return testsupport::traceInstaller(
            sandbox,
            stdin ? std::vector<std::string>{"-r", sandbox.root(), "-"}
                  : std::vector<std::string>{"-r", sandbox.root()},
            plan, {.input = stdin ? stdinPackage : "", .env = kNoLeakCheck});
    }

    // The next run: one that only looks ("--show"), or "--commit" again for a saved set.
    RunResult followUp() {
        if (GetParam().mode == Mode::SavedSet)
            return testsupport::runInRoot(sandbox, [] { return entry({"--commit"}); });
        return installer({"--show"});
    }

    void startFrom(const std::string& image) {
        ASSERT_TRUE(Ext4Image::copy(image, images.file("work.img")));
        ASSERT_TRUE(Ext4Image::mountFile(images.file("work.img"), flashDir));
        emptyRam();
        for (const auto& [name, file] : ramFiles)
            sandbox.writeFile("/ram/" + name, file.first, file.second);
    }

    void emptyRam() {
        std::filesystem::remove_all(sandbox.path("/ram"));
        sandbox.makeDirectory("/ram");
    }

    static bool isDebris(const std::string& path) {
        return isTemporaryName(path) || path == kStagingMarkerPath || path == kJournalPath ||
               path == "/flash/var/pdb/image" || path.rfind("/ram/", 0) == 0;
    }

    // Every path below /flash and /rw with its mode and contents, debris left out and counted;
    // the postlog, which every run writes, and the file system's own directory are no state.
    std::string stateOf(int* debris = nullptr) {
        std::istringstream lines(sandbox.listing());
        std::string state;
        for (std::string line; std::getline(lines, line);) {
            const std::string path = line.substr(0, line.find(' '));
            if (isDebris(path)) {
                if (debris) ++*debris;
            } else if ((path.rfind("/flash", 0) == 0 || path.rfind("/rw", 0) == 0) &&
                       path != "/flash/postlog" && path.rfind("/flash/lost+found", 0) != 0) {
                state += line + "\n";
            }
        }
        return state;
    }

    State classify(int* debris = nullptr) {
        const std::string state = stateOf(debris);
        return state == oldState ? Old : state == newState ? New : Mixed;
    }

    // The calls tried: all of them with INSTALLER_SWEEP=all; else every call of the kinds asked
    // for from `from` on, and a spread of the rest.
    std::vector<uint64_t> chosen(uint32_t kinds, size_t from) const {
        std::vector<uint64_t> points;
        const size_t stride = std::max<size_t>(1, calls.size() / kSampledPoints);
        for (size_t i = 0; i < calls.size(); ++i) {
            const bool dense = i >= from && (testsupport::syscallKind(calls[i]) & kinds) != 0;
            if (sweepAll() || dense || i % stride == stride / 2) points.push_back(i);
        }
        return points;
    }

    // The commit of an installing run begins after its last statfs (the flash space check and
    // the flag file's staging); a saved set's run is all commit.
    size_t commitStart() const {
        if (GetParam().mode == Mode::SavedSet) return 0;
        size_t last = 0;
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == SYS_statfs) last = i + 1;
        return last;
    }

    void expectSettled(const std::string& what, uint64_t at, int figures[3], int& debrisLeft) {
        const RunResult next = followUp();
        int debris = 0;
        const State state = classify(&debris);
        ++figures[state];
        debrisLeft += debris;
        EXPECT_NE(state, Mixed) << what << " at call " << at << "\n" << next.out << next.err;
        EXPECT_EQ(debris, 0) << what << " at call " << at << "\n" << sandbox.listing();
    }

    void killAndCut() {
        int before[2][3] = {}, after[2][3] = {}, debrisBefore[2] = {}, debrisAfter[2] = {};
        int tried = 0;
        const std::string cut = images.file("cut.img");
        for (const uint64_t at : chosen(kNameChanges, commitStart())) {
            startFrom(start);
            bool copied = false;
            TracePlan plan;
            plan.action = TracePlan::Kill;
            plan.at = at;
            plan.atCut = [&] { copied = Ext4Image::copy(images.file("work.img"), cut); };
            const TraceResult run = traced(plan);
            if (!run.acted) {
                Ext4Image::unmount(flashDir);
                break;
            }
            ++tried;
            ASSERT_TRUE(copied);
            ++before[0][classify(&debrisBefore[0])];
            expectSettled("killed", at, after[0], debrisAfter[0]);
            Ext4Image::unmount(flashDir);
            // The power cut: what reached the device, and nothing of /ram.
            ASSERT_TRUE(Ext4Image::mountFile(cut, flashDir));
            emptyRam();
            ++before[1][classify(&debrisBefore[1])];
            expectSettled("power cut", at, after[1], debrisAfter[1]);
            Ext4Image::unmount(flashDir);
        }
        for (int kind = 0; kind < 2; ++kind) {
            std::cout << (kind == 0 ? "killed" : "power cut") << " at " << tried << " of "
                      << calls.size() << " calls:";
            for (int s = 0; s < 3; ++s)
                std::cout << ' ' << kStateNames[s] << ' ' << before[kind][s] << "->"
                          << after[kind][s];
            std::cout << ", debris files " << debrisBefore[kind] << "->" << debrisAfter[kind]
                      << '\n';
        }
    }

    void failCalls() {
        struct Failure {
            int error;
            bool persistent;
        };
        std::map<std::string, int> figures;
        for (const Failure failure : {Failure{EIO, false}, Failure{ENOSPC, true}}) {
            for (const uint64_t at : chosen(kInjected, commitStart())) {
                const uint32_t kind = testsupport::syscallKind(calls[at]);
                if (at < commitStart() || (kind & kInjected) == 0) continue;
                TracePlan plan;
                plan.action = TracePlan::Fail;
                plan.kinds = kind;
                for (size_t i = 0; i < at; ++i)
                    plan.at += testsupport::syscallKind(calls[i]) == kind;
                plan.error = failure.error;
                plan.persistent = failure.persistent;
                startFrom(start);
                const TraceResult run = traced(plan);
                const std::string where = std::string(strerror(failure.error)) + " at call " +
                                          std::to_string(at) + "\n" + run.out + run.err;
                EXPECT_LT(run.status, 128) << where;
                int debris = 0;
                const State state = classify(&debris);
                const bool journal = sandbox.exists(kJournalPath);
                if (run.status == 0) {
                    EXPECT_EQ(state, New) << where;
                    // The marker may stay, when a failure kept the run from looking for leftovers.
                    EXPECT_EQ(debris - sandbox.exists(kStagingMarkerPath), 0)
                        << where << sandbox.listing();
                } else {
                    EXPECT_TRUE(state != Mixed || journal) << where;
                    // Nothing is reported installed that the commit did not finish.
                    EXPECT_EQ(run.out.find("installed "), std::string::npos) << where;
                    // A full disk stays full: even the message may not get out then.
                    if (!failure.persistent) {
                        EXPECT_NE(run.out.find(strerror(failure.error)), std::string::npos)
                            << where;
                    }
                }
                ++figures[std::string(strerror(failure.error)) + ": status " +
                          (run.status == 0 ? "0" : "non-zero") + ", " + kStateNames[state] +
                          (journal ? " with journal" : "")];
                int left = 0, settled[3] = {};
                expectSettled("after " + where, at, settled, left);
                Ext4Image::unmount(flashDir);
            }
        }
        for (const auto& [line, count] : figures) std::cout << count << " runs: " << line << '\n';
    }

    const std::map<std::string, std::string> kNoLeakCheck = {
        {"ASAN_OPTIONS",
         std::string(getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "") + ":detect_leaks=0"}};
    Sandbox sandbox;
    TempDir images;
    bool imagesInMemory = false;
    std::string flashDir, start, oldState, newState, stdinPackage;
    std::unique_ptr<Ext4Image> base;
    std::map<std::string, std::pair<std::string, unsigned>> ramFiles;  // contents and mode
    std::vector<long> calls;
};

TEST_P(PowerCutSweep, LeavesTheOldOrTheNewStateAndNoDebris) {
    if (GetParam().cut == Cut::Fail)
        failCalls();
    else
        killAndCut();
}

INSTANTIATE_TEST_SUITE_P(Commit, PowerCutSweep, ::testing::ValuesIn(kSweeps),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
