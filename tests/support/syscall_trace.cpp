#include "support/syscall_trace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>

namespace testsupport {
namespace {

#if defined(__x86_64__)
constexpr bool kTraceablePlatform = true;
#else
constexpr bool kTraceablePlatform = false;
#endif

const std::map<long, uint32_t>& kindsByCall() {
    static const std::map<long, uint32_t> kinds = [] {
        std::map<long, uint32_t> k;
#if defined(__x86_64__)
        for (long nr : std::initializer_list<long>{SYS_open, SYS_openat, SYS_creat, SYS_openat2}) k[nr] = Open;
        for (long nr : std::initializer_list<long>{SYS_read, SYS_pread64, SYS_readv, SYS_preadv, SYS_preadv2, SYS_getdents64})
            k[nr] = Read;
        for (long nr : std::initializer_list<long>{SYS_write, SYS_pwrite64, SYS_writev, SYS_pwritev, SYS_pwritev2,
                        SYS_copy_file_range, SYS_sendfile})
            k[nr] = Write;
        for (long nr : std::initializer_list<long>{SYS_rename, SYS_renameat, SYS_renameat2}) k[nr] = Rename;
        for (long nr : std::initializer_list<long>{SYS_chmod, SYS_fchmod, SYS_fchmodat}) k[nr] = Chmod;
        for (long nr : std::initializer_list<long>{SYS_fsync, SYS_fdatasync, SYS_sync, SYS_syncfs, SYS_sync_file_range})
            k[nr] = Fsync;
        for (long nr : std::initializer_list<long>{SYS_unlink, SYS_unlinkat, SYS_rmdir}) k[nr] = Unlink;
        for (long nr : std::initializer_list<long>{SYS_mkdir, SYS_mkdirat}) k[nr] = Mkdir;
        for (long nr : std::initializer_list<long>{SYS_symlink, SYS_symlinkat, SYS_link, SYS_linkat}) k[nr] = Link;
        k[SYS_close] = Close;
#endif
        return k;
    }();
    return kinds;
}

#if defined(__x86_64__)
// The calls whose first argument is a descriptor of the file they act on.
bool actsOnDescriptor(long call) {
    static const std::set<long> calls = {
        SYS_read,      SYS_pread64,  SYS_readv,           SYS_preadv,  SYS_preadv2,  SYS_getdents64,
        SYS_write,     SYS_pwrite64, SYS_writev,          SYS_pwritev, SYS_pwritev2, SYS_fsync,
        SYS_fdatasync, SYS_syncfs,   SYS_sync_file_range, SYS_fchmod,  SYS_close};
    return calls.count(call) != 0;
}
#else
bool actsOnDescriptor(long) {
    return false;
}
#endif

bool namesAFile(pid_t pid, unsigned long long fd) {
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    char target[256];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n <= 0) return true;
    const std::string name(target, size_t(n));
    for (const char* other : {"pipe:", "socket:", "anon_inode:", "/memfd:"})
        if (name.rfind(other, 0) == 0) return false;
    return true;
}

bool counts(const TracePlan& plan, pid_t pid, const __ptrace_syscall_info& info) {
    const long call = long(info.entry.nr);
    if (plan.kinds != AnyCall && (syscallKind(call) & plan.kinds) == 0) return false;
    return !plan.filesOnly || !actsOnDescriptor(call) || namesAFile(pid, info.entry.args[0]);
}

int memoryFile(const char* name, const std::string& contents) {
    const int fd = memfd_create(name, 0);
    if (fd < 0) throw std::runtime_error("memfd_create");
    for (size_t done = 0; done < contents.size();) {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0) throw std::runtime_error("memfd write");
        done += size_t(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string readWhole(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
}

#if defined(__x86_64__)
// Replaces the call at its entry stop by an invalid one (the kernel then runs nothing) and, at
// its exit stop, gives the program the error instead.
void skipCall(pid_t pid) {
    user_regs_struct regs;
    ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
    regs.orig_rax = static_cast<unsigned long long>(-1);
    ptrace(PTRACE_SETREGS, pid, nullptr, &regs);
}
void setResult(pid_t pid, long value) {
    user_regs_struct regs;
    ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
    regs.rax = static_cast<unsigned long long>(value);
    ptrace(PTRACE_SETREGS, pid, nullptr, &regs);
}
#else
void skipCall(pid_t) {}
void setResult(pid_t, long) {}
#endif

// Follows the stopped child through its system calls until it ends.
void follow(pid_t pid, const TracePlan& plan, TraceResult& result) {
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC);
    bool started = plan.startAfter < 0;
    int pendingError = 0;
    int status = 0;
    int deliver = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, deliver);
        deliver = 0;
        if (waitpid(pid, &status, __WALL) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        const int signal = WSTOPSIG(status);
        if (signal != (SIGTRAP | 0x80)) {
            // Event stops (the exec) carry nothing to pass on; real signals are delivered.
            if (status >> 16 == 0 && signal != SIGSTOP) deliver = signal;
            continue;
        }
        __ptrace_syscall_info info{};
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) continue;
        if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
            if (pendingError != 0) setResult(pid, -pendingError);
            pendingError = 0;
            continue;
        }
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
        const long call = long(info.entry.nr);
        if (!started) {
            // The call itself still runs; counting begins with the next one.
            if (call == plan.startAfter) started = true;
            continue;
        }
        if (!counts(plan, pid, info)) continue;
        result.calls.push_back(call);
        const uint64_t index = result.counted++;
        const bool hit = index == plan.at || (plan.persistent && index > plan.at);
        if (plan.action == TracePlan::Count || !hit) continue;
        if (!result.acted) result.call = call;
        result.acted = true;
        if (plan.action == TracePlan::Fail) {
            skipCall(pid);
            pendingError = plan.error;
            continue;
        }
        if (plan.atCut) plan.atCut();
        kill(pid, SIGKILL);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TraceResult traceForked(const std::function<int()>& work, const TracePlan& plan,
                        const RunSetup& setup) {
    const int in = memoryFile("stdin", setup.input);
    const int out = memoryFile("stdout", "");
    const int err = memoryFile("stderr", "");
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd : {in, out, err}) close(fd);
        detail::applyEnvironment(setup);
        const int status = work();
        fflush(nullptr);
        _exit(status & 0xFF);
    }
    TraceResult result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status)) {
        follow(pid, plan, result);
    } else {
        // The child ended before it could be traced (no namespace, no root change).
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = readWhole(out);
    result.err = readWhole(err);
    for (int fd : {in, out, err}) close(fd);
    return result;
}

// In the child, last before the traced work: hands control to the parent.
void beTraced() {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
}

bool runCommand(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Mounts made by the tests stay in a namespace of this process, gone when it ends.
bool ownMountNamespace() {
    static const bool own = unshare(CLONE_NEWNS) == 0 &&
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return own;
}

}  // namespace

uint32_t syscallKind(long call) {
    const auto found = kindsByCall().find(call);
    return found == kindsByCall().end() ? 0 : found->second;
}

bool canTrace() {
    return kTraceablePlatform && *TARGET_EMULATOR == '\0' && canChangeRoot();
}

const char* noTraceReason() {
    if (*TARGET_EMULATOR) return "a program under the emulator cannot be traced with ptrace";
    if (!kTraceablePlatform) return "the system-call tracer knows only x86-64 registers";
    return noPrivilegeReason();
}

TraceResult traceInstaller(const Sandbox& sandbox, const std::vector<std::string>& args,
                           const TracePlan& plan, const RunSetup& setup) {
    RunSetup hostSetup = detail::hostSetup(sandbox, setup);
    // The leak checker traces the process itself at exit, which a traced process cannot allow.
    const char* asan = getenv("ASAN_OPTIONS");
    hostSetup.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":detect_leaks=0";
    return traceForked(detail::programChild(INSTALLER_BINARY, args, hostSetup, beTraced), plan,
                       hostSetup);
}

TraceResult traceInRoot(const Sandbox& sandbox, const std::function<int()>& body,
                        const TracePlan& plan, const RunSetup& setup) {
    return traceForked(detail::rootChild(sandbox, body, setup, beTraced), plan, setup);
}

bool Ext4Image::available(std::string& reason) {
    if (geteuid() != 0) {
        reason = "mounting an image file system needs root";
    } else if (access("/dev/loop-control", F_OK) != 0) {
        reason = "no loop devices (/dev/loop-control)";
    } else if (!runCommand("command -v mkfs.ext4")) {
        reason = "mkfs.ext4 is not installed (Debian package e2fsprogs)";
    } else if (!ownMountNamespace()) {
        reason = "no mount namespace of its own for the test";
    } else {
        return true;
    }
    return false;
}

Ext4Image::Ext4Image(std::string imagePath, uint64_t bytes) : path_(std::move(imagePath)) {
    made_ = truncate(path_.c_str(), 0) == 0 || errno == ENOENT;
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    made_ = fd >= 0 && ftruncate(fd, off_t(bytes)) == 0;
    if (fd >= 0) close(fd);
    // No lazy initialisation: its background writes would land at arbitrary moments.
    made_ = made_ && runCommand("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " +
                                quoted(path_));
}

Ext4Image::~Ext4Image() {
    if (!mountedAt_.empty()) unmount(mountedAt_);
    unlink(path_.c_str());
}

bool Ext4Image::mount(const std::string& at) {
    if (!mountFile(path_, at)) return false;
    mountedAt_ = at;
    return true;
}

bool Ext4Image::mountFile(const std::string& image, const std::string& at) {
    // A loop mount detaches its loop device when it is unmounted.
    return ownMountNamespace() && runCommand("mount -o loop " + quoted(image) + " " + quoted(at));
}

void Ext4Image::unmount(const std::string& at) { runCommand("umount " + quoted(at)); }

bool Ext4Image::snapshot(const std::string& copyPath) const {
    return copy(path_, copyPath);
}

bool Ext4Image::copy(const std::string& fromPath, const std::string& toPath) {
    const int from = open(fromPath.c_str(), O_RDONLY);
    const int to = open(toPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool copied = from >= 0 && to >= 0;
    struct stat info;
    copied = copied && fstat(from, &info) == 0 && ftruncate(to, info.st_size) == 0;
    // Only the extents that hold data: the copy stays as sparse as the image, and is quick.
    static char block[1 << 16];
    for (off_t at = 0; copied;) {
        const off_t data = lseek(from, at, SEEK_DATA);
        if (data < 0) break;  // no data after `at`
        const off_t hole = lseek(from, data, SEEK_HOLE);
        for (at = data; copied && at < hole;) {
            const ssize_t got =
                pread(from, block, size_t(std::min<off_t>(sizeof block, hole - at)), at);
            copied = got > 0 && pwrite(to, block, size_t(got), at) == got;
            at += got > 0 ? got : 0;
        }
    }
    if (from >= 0) close(from);
    if (to >= 0) close(to);
    return copied;
}

}  // namespace testsupport
