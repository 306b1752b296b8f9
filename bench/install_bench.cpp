// Whole runs compared in alternated pairs, each into a fresh router root below --roots: the two
// runs of a pair go in turns (A then B, then B then A), so that neither always meets the
// other's dirty pages or a warmer cache. Printed: each kind's median time, and the median,
// lowest and highest of the pairs' time ratios B / A: the figure to compare, since absolute
// times on a shared machine drift from one minute to the next. With --memory, one more run of
// each kind is stopped at its exit to read its peak resident size (VmHWM, of the program alone,
// not of the benchmark it was forked from) and its resident, proportional and private memory.
//
//   install_bench --compare=A,B --pairs=N --roots=DIR --package=PKG [--installer=BIN]
//                 [--nosync-installer=BIN] [--yardstick=BIN] [--tarball=TGZ] [--memory]
//
// Kinds: "yardstick" (bench/yardstick: read, SHA-256, inflate, temporary files, renames, with the
// installer's durability), "stdin" (installer -r ROOT - < PKG), "upgrade" (the package placed in
// the root's download directory beforehand, then installer -r ROOT), "nosync" (the stdin run of
// installer_nosync, which never syncs), "tar" (tar xzf TGZ -C ROOT/flash, no staging, no hash).
// Needs root, as the installer changes its root.
// bench/install_bench.sh builds the packages and runs the whole series.
#include <fcntl.h>
#include <ftw.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> options = {{"roots", "/var/tmp"}, {"pairs", "9"}};

std::string option(const std::string& name) {
    const auto found = options.find(name);
    if (found == options.end() || found->second.empty()) {
        std::fprintf(stderr, "install_bench: --%s=... is needed\n", name.c_str());
        std::exit(2);
    }
    return found->second;
}

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

// A fresh router root, removed with everything in it.
class RouterRoot {
  public:
    RouterRoot() {
        std::string pattern = option("roots") + "/install-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        path_ = pattern;
        for (const char* inside : {"/flash", "/flash/var", "/flash/var/pdb", "/ram", "/rw", "/tmp",
                                   "/rw/pckg", "/rw/pckg/.download"})
            mkdir((path_ + inside).c_str(), 0755);
    }
    ~RouterRoot() {
        if (!path_.empty()) nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    RouterRoot(const RouterRoot&) = delete;
    RouterRoot& operator=(const RouterRoot&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return in && out.good();
}

struct Command {
    std::vector<std::string> arguments;
    std::string input;  // standard input, or empty
};

// What a kind runs in `root`, after preparing the root outside the measured time.
Command prepare(const std::string& kind, const RouterRoot& root) {
    const std::string& r = root.path();
    if (kind == "yardstick") return {{option("yardstick"), r}, option("package")};
    if (kind == "stdin") return {{option("installer"), "-r", r, "-"}, option("package")};
    if (kind == "nosync") return {{option("nosync-installer"), "-r", r, "-"}, option("package")};
    if (kind == "upgrade") {
        if (!copyFile(option("package"), r + "/rw/pckg/.download/bench.vlp")) std::exit(1);
        return {{option("installer"), "-r", r}, ""};
    }
    if (kind == "tar") return {{"tar", "xzf", option("tarball"), "-C", r + "/flash"}, ""};
    std::fprintf(stderr, "install_bench: unknown kind %s\n", kind.c_str());
    std::exit(2);
}

struct Outcome {
    double seconds = 0;
    std::string memory;  // stopped at its exit: its figures
};

// The fields of a /proc file that are wanted, as "name value" pairs in KiB.
std::string procFields(pid_t child, const char* file, std::initializer_list<const char*> fields) {
    std::ifstream in("/proc/" + std::to_string(child) + "/" + file);
    std::string line, kept;
    while (std::getline(in, line)) {
        for (const char* field : fields) {
            if (line.rfind(field, 0) != 0) continue;
            std::istringstream words(line);
            std::string name, kib;
            words >> name >> kib;
            kept += " " + name + kib;
        }
    }
    return kept;
}

// At the exit of the traced child: its peak resident size (of the program itself, not of the
// benchmark it was forked from), and what is resident at the end, private or shared.
std::string memoryAtExit(pid_t child) {
    return procFields(child, "status", {"VmHWM:"}) +
           procFields(child, "smaps_rollup", {"Rss:", "Pss:", "Private_Clean:", "Private_Dirty:"});
}

// Runs the command; with `atExit` the child stops at its exit for its memory to be read.
Outcome run(const Command& command, bool atExit) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int in = open(command.input.empty() ? "/dev/null" : command.input.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        std::vector<char*> argv;
        for (const std::string& a : command.arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (atExit) {
            ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
            raise(SIGSTOP);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    Outcome outcome;
    int status = 0;
    if (atExit) {
        waitpid(child, &status, 0);
        ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
        ptrace(PTRACE_CONT, child, nullptr, nullptr);
        while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
            if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
                outcome.memory = memoryAtExit(child);
            const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
            ptrace(PTRACE_CONT, child, nullptr, signal);
        }
    } else {
        waitpid(child, &status, 0);
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "install_bench: %s failed (status %d)\n",
                     command.arguments[0].c_str(), status);
        std::exit(1);
    }
    return outcome;
}

Outcome measure(const std::string& kind, bool atExit) {
    RouterRoot root;
    const Command command = prepare(kind, root);
    // Nothing of an earlier run is still being written back when this one starts.
    sync();
    return run(command, atExit);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const size_t equals = argument.find('=');
        if (argument.rfind("--", 0) != 0) {
            std::fprintf(stderr, "install_bench: unexpected %s\n", argv[i]);
            return 2;
        }
        options[argument.substr(2, equals - 2)] =
            equals == std::string::npos ? "1" : argument.substr(equals + 1);
    }
    const std::string compare = option("compare");
    const size_t comma = compare.find(',');
    if (comma == std::string::npos) return 2;
    const std::string kinds[2] = {compare.substr(0, comma), compare.substr(comma + 1)};
    const int pairs = std::atoi(option("pairs").c_str());

    std::vector<double> seconds[2], ratios;
    for (int pair = 0; pair < pairs; ++pair) {
        Outcome outcome[2];
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (turn + pair) % 2;
            outcome[which] = measure(kinds[which], false);
        }
        for (int which = 0; which < 2; ++which) seconds[which].push_back(outcome[which].seconds);
        ratios.push_back(outcome[1].seconds / outcome[0].seconds);
    }
    for (int which = 0; which < 2; ++which) {
        std::printf("%-10s median %8.1f ms", kinds[which].c_str(), 1000 * median(seconds[which]));
        if (options.count("memory"))
            std::printf("  KiB:%s", measure(kinds[which], true).memory.c_str());
        std::printf("\n");
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("%s / %s over %d pairs: median %.3f (lowest %.3f, highest %.3f)\n",
                kinds[1].c_str(), kinds[0].c_str(), pairs, median(ratios), ratios.front(),
                ratios.back());
    return 0;
}
