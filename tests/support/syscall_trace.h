// Runs the installer under ptrace to count its system calls and to cut the run at any one of
// them: killed there, failed there with an errno, or stopped there while the test takes a copy of
// what has reached a disk (a power cut) before the run is killed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace testsupport {

// Groups of related system calls (open and openat count as Open, and so on).
enum SyscallKind : uint32_t {
    Open = 1u << 0,
    Read = 1u << 1,  // read, pread, readv; getdents (a directory listing) too
    Write = 1u << 2,
    Rename = 1u << 3,
    Chmod = 1u << 4,
    Fsync = 1u << 5,  // fsync, fdatasync, sync, syncfs
    Unlink = 1u << 6,  // unlink, unlinkat, rmdir
    Mkdir = 1u << 7,
    Link = 1u << 8,  // symlink, link
    Close = 1u << 9,
    AnyCall = 0xFFFFFFFFu,
};

struct TracePlan {
    enum Action { Count, Kill, Fail };
    Action action = Count;
    uint32_t kinds = AnyCall;  // the calls that are counted, and among which `at` is taken
    uint64_t at = 0;           // 0-based index of the counted call to act on
    int error = 0;             // Fail: the errno the call returns instead of running
    bool persistent = false;   // Fail: every counted call from `at` on fails (a full disk)
    // Counting starts after the first call of this number has returned (for instance SYS_chroot,
    // so that the program loader's calls do not count); -1 counts from the start.
    long startAfter = -1;
    // Kill: runs while the program is stopped before the call, which never happens.
    std::function<void()> atCut;
    // A call on a descriptor counts only when the descriptor names a file or directory: writes
    // to the console, or to the pipes the sanitizers probe memory with, are left out.
    bool filesOnly = false;
};

struct TraceResult : RunResult {
    uint64_t counted = 0;  // counted calls that were entered, the one acted on included
    bool acted = false;    // the run reached `at`
    long call = -1;        // the number of the system call acted on
    std::vector<long> calls;  // the numbers of the counted calls entered, in order
};

// The kind of a system call by its number; 0 for calls outside every kind.
uint32_t syscallKind(long call);

// Whether runs can be traced here: ptrace on this processor, not under an emulator.
bool canTrace();
const char* noTraceReason();

// As runInstaller and runInRoot, traced by the plan. Standard output and error are collected
// whole; the input is given whole on standard input.
TraceResult traceInstaller(const Sandbox& sandbox, const std::vector<std::string>& args,
                           const TracePlan& plan, const RunSetup& setup = {});
TraceResult traceInRoot(const Sandbox& sandbox, const std::function<int()>& body,
                        const TracePlan& plan, const RunSetup& setup = {});

// An ext4 file system in an image file, mounted through a loop device inside the test process's
// own mount namespace (so that nothing outlives the test). What a power cut leaves of it is a
// copy of the image file: the loop device writes there only what the file system sent to the
// device, never what still sits in its page cache.
class Ext4Image {
  public:
    // True when image file systems can be made and mounted here; `reason` says why not.
    static bool available(std::string& reason);
    // Makes a fresh file system of `bytes` in the image file.
    Ext4Image(std::string imagePath, uint64_t bytes);
    ~Ext4Image();
    Ext4Image(const Ext4Image&) = delete;
    Ext4Image& operator=(const Ext4Image&) = delete;

    const std::string& path() const { return path_; }
    bool made() const { return made_; }
    // Mounts the image (or another image file, such as a copy) at the directory.
    [[nodiscard]] bool mount(const std::string& at);
    [[nodiscard]] static bool mountFile(const std::string& image, const std::string& at);
    static void unmount(const std::string& at);
    // Copies the image file as it is now: what a power cut at this instant would leave.
    [[nodiscard]] bool snapshot(const std::string& copyPath) const;
    // Copies an image file, keeping it sparse.
    [[nodiscard]] static bool copy(const std::string& from, const std::string& to);

  private:
    std::string path_;
    std::string mountedAt_;
    bool made_ = false;
};

}  // namespace testsupport

#define REQUIRE_TRACE()                                                              \
    do {                                                                             \
        if (!::testsupport::canTrace()) GTEST_SKIP() << ::testsupport::noTraceReason(); \
    } while (0)
