#include "support/sandbox.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "staging/temporaries.h"

using namespace velmara;

namespace testsupport {
namespace {

void writeAll(const std::string& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
}

int removeEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

// In the child: gains the rights to change root and mount, without being root, through a user
// namespace in which this user is root.
bool enterPrivilegedNamespace(bool needMounts) {
    if (geteuid() == 0) {
        if (!needMounts) return true;
        return unshare(CLONE_NEWNS) == 0;
    }
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    writeAll("/proc/self/setgroups", "deny");
    writeAll("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeAll("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    return true;
}

bool mountAll(const std::string& root, const std::vector<TmpfsMount>& mounts) {
    if (mounts.empty()) return true;
    // Private propagation keeps these mounts from leaking to the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    for (const auto& m : mounts) {
        const std::string target = root + m.inside;
        std::string partial;
        for (size_t slash = 1; slash != std::string::npos;) {
            slash = target.find('/', slash + 1);
            partial = target.substr(0, slash);
            mkdir(partial.c_str(), 0755);
        }
        const std::string options = "size=" + std::to_string(m.bytes);
        if (mount("tmpfs", target.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    }
    return true;
}


// Forks, wires the three standard streams to pipes, runs `child` (which must not return
// normally; its int is the exit status) and collects everything.
RunResult runForked(const std::function<int()>& child, const RunSetup& setup) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        detail::applyEnvironment(setup);
        const int status = child();
        std::cout.flush();
        std::cerr.flush();
        fflush(nullptr);
        _exit(status & 0xFF);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    RunResult result;
    size_t fed = 0;
    int inFd = in[1];
    if (setup.input.empty()) {
        close(inFd);
        inFd = -1;
    }
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen || inFd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {out[0], POLLIN, 0};
        if (errOpen) fds[n++] = {err[0], POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < n; ++k) {
            if (!fds[k].revents) continue;
            if (fds[k].fd == inFd) {
                const ssize_t w = write(inFd, setup.input.data() + fed, setup.input.size() - fed);
                if (w > 0) fed += static_cast<size_t>(w);
                if (w < 0 || fed == setup.input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[65536];
            const ssize_t r = read(fds[k].fd, buffer, sizeof buffer);
            std::string& sink = fds[k].fd == out[0] ? result.out : result.err;
            if (r > 0) {
                sink.append(buffer, static_cast<size_t>(r));
            } else {
                if (fds[k].fd == out[0]) outOpen = false;
                else errOpen = false;
            }
        }
    }
    if (inFd >= 0) close(inFd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> emulatorPrefix() {
    std::vector<std::string> words;
    std::istringstream text(TARGET_EMULATOR);
    for (std::string word; text >> word;) words.push_back(word);
    return words;
}

[[noreturn]] void execute(const std::string& binary, const std::vector<std::string>& args) {
    std::vector<std::string> words = emulatorPrefix();
    words.push_back(binary);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    perror("exec");
    _exit(127);
}

}  // namespace

Sandbox::Sandbox() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/router-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    chmod(root_.c_str(), 0755);
    for (const char* dir : {"/flash", "/ram", "/rw", "/tmp", "/dev"}) makeDirectory(dir);
}

Sandbox::~Sandbox() {
    nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void Sandbox::makeDirectory(const std::string& inside) {
    const std::string target = path(inside);
    for (size_t slash = root_.size(); slash != std::string::npos;) {
        slash = target.find('/', slash + 1);
        mkdir(target.substr(0, slash).c_str(), 0755);
    }
}

void Sandbox::writeFile(const std::string& inside, const std::string& contents, unsigned mode) {
    const size_t slash = inside.rfind('/');
    if (slash != std::string::npos && slash > 0) makeDirectory(inside.substr(0, slash));
    std::ofstream out(path(inside), std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    chmod(path(inside).c_str(), mode);
}

std::string Sandbox::readFile(const std::string& inside) const {
    std::ifstream in(path(inside), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sandbox::exists(const std::string& inside) const {
    struct stat info;
    return lstat(path(inside).c_str(), &info) == 0;
}

namespace {
std::set<std::string>* listingSink;
std::string listingRoot;
int addListing(const char* file, const struct stat* info, int, FTW*) {
    std::ostringstream line;
    line << (file + listingRoot.size()) << ' ' << std::oct << info->st_mode << std::dec;
    if (S_ISREG(info->st_mode)) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        line << ' ' << info->st_size << ' ' << std::hash<std::string>{}(data.str());
    } else if (S_ISLNK(info->st_mode)) {
        char target[4096];
        const ssize_t n = readlink(file, target, sizeof target);
        line << " -> " << std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    listingSink->insert(line.str());
    return 0;
}
}  // namespace

std::string Sandbox::listing() const {
    std::set<std::string> lines;
    listingSink = &lines;
    listingRoot = root_;
    nftw(root_.c_str(), addListing, 16, FTW_PHYS);
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

StagingInside::StagingInside(const Sandbox& sandbox) {
    stagingFiles() = {sandbox.path(kStagingMarkerPath), sandbox.path(kJournalPath)};
}

StagingInside::~StagingInside() {
    stagingFiles() = {};
}

bool canChangeRoot() {
    static const bool allowed = [] {
        if (geteuid() == 0) return true;
        RunSetup none;
        const RunResult probe = runForked(
            [] { return enterPrivilegedNamespace(false) && chroot("/") == 0 ? 0 : 1; }, none);
        return probe.status == 0;
    }();
    return allowed;
}

const char* noPrivilegeReason() {
    if (*TARGET_EMULATOR)
        return "changing the root needs root or an unprivileged user namespace; under the "
               "emulator this process is multi-threaded, and the kernel gives such a process no "
               "new user namespace: run the tests as root";
    return "changing the root needs root or an unprivileged user namespace, and neither is "
           "available to this test process";
}

namespace detail {

void applyEnvironment(const RunSetup& setup) {
    for (const auto& name : setup.unsetEnv) unsetenv(name.c_str());
    for (const auto& [name, value] : setup.env) setenv(name.c_str(), value.c_str(), 1);
}

std::function<int()> programChild(const std::string& binary, const std::vector<std::string>& args,
                                  const RunSetup& setup, const std::function<void()>& beforeExec) {
    // Mounts given here are relative to the host root; callers pass sandbox paths whole.
    return [=] {
        if (!setup.mounts.empty()) {
            if (!enterPrivilegedNamespace(true) || !mountAll("", setup.mounts)) return 126;
        } else if (geteuid() != 0) {
            // Lets an unprivileged run change its root with "-r". Where no namespace can be had
            // the program still runs: only tests that change roots need one, and they skip
            // through REQUIRE_ROOT_CHANGE().
            (void)enterPrivilegedNamespace(false);
        }
        if (beforeExec) beforeExec();
        execute(binary, args);
    };
}

std::function<int()> rootChild(const Sandbox& sandbox, const std::function<int()>& body,
                               const RunSetup& setup, const std::function<void()>& beforeBody) {
    const std::string root = sandbox.root();
    return [=] {
        if (!enterPrivilegedNamespace(!setup.mounts.empty())) return 126;
        if (!mountAll(root, setup.mounts)) return 126;
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) return 126;
        // Inside the router root the installer's own paths hold, whatever the test process uses.
        stagingFiles() = {};
        if (beforeBody) beforeBody();
        return body();
    };
}

}  // namespace detail

RunResult runInstaller(const Sandbox& sandbox, const std::vector<std::string>& args,
                       const RunSetup& setup) {
    return runProgram(INSTALLER_BINARY, args, detail::hostSetup(sandbox, setup));
}

RunResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                     const RunSetup& setup) {
    return runForked(detail::programChild(binary, args, setup, {}), setup);
}

RunResult runInRoot(const Sandbox& sandbox, const std::function<int()>& body,
                    const RunSetup& setup) {
    return runForked(detail::rootChild(sandbox, body, setup, {}), setup);
}

}  // namespace testsupport
