// A whole installation from standard input against a reference loop on the same package file,
// in the same run:
//   Install    runs "installer -r ROOT -" with the package on standard input, into a fresh
//              router root each time: reading, hashing, copying standard input, unpacking,
//              verifying, recording and committing (which syncs);
//   Reference  reads the same file in 64 KiB blocks, hashes it with SHA-256, inflates its file
//              container, splits the entries and writes each file to its place below the
//              root's /flash, then syncs: the work an installation cannot avoid.
//   Durability runs the installer and the same installer with every sync turned off
//              (installer_nosync), alternately, each into a fresh root: what making the commit
//              durable costs, as a ratio of the two.
// The figures to watch are printed at the end: Reference time divided by Install time (the
// throughput ratio), and the durable run's time divided by the unsynced one's. Roots are made
// below --roots=DIR (default /var/tmp); a file system of their own keeps other programs' dirty
// data out of the syncs. bench/install_bench.sh builds the package and runs this; by hand:
//   install_bench --package=PKG --installer=build/installer
//                 --nosync-installer=build/bench/installer_nosync [--roots=DIR] [flags]
// It needs the rights to change roots (root), as the installer does.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "package/extract.h"
#include "package/little_endian.h"
#include "package/package_reader.h"

using namespace velmara;

namespace {

constexpr size_t kReadBlock = 65536;
constexpr size_t kInflateBlock = 65536;

std::string packagePath;
std::string installerPath;
std::string nosyncInstallerPath;
std::string rootsDirectory = "/var/tmp";

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

// A fresh router root below /var/tmp, removed with everything in it.
class RouterRoot {
  public:
    RouterRoot() {
        std::string pattern = rootsDirectory + "/install-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        path_ = pattern;
        for (const char* inside : {"/flash", "/flash/var", "/flash/var/pdb", "/ram", "/rw", "/tmp"})
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

off_t fileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// Installs the package into the root with the given binary; false when that failed.
bool installWith(const std::string& binary, const RouterRoot& root) {
    const pid_t child = fork();
    if (child == 0) {
        const int in = open(packagePath.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        execl(binary.c_str(), binary.c_str(), "-r", root.path().c_str(), "-",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Install(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto root = std::make_unique<RouterRoot>();
        state.ResumeTiming();
        const bool installed = installWith(installerPath, *root);
        state.PauseTiming();
        if (!installed) state.SkipWithError("the installation failed");
        root.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fileSize(packagePath)));
}

// The durable installation's time (the manual time) and, in counters, the unsynced one's and
// their ratio. The two alternate which goes first, so that neither always meets the other's
// dirty pages still being written back.
void Durability(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    double seconds[2] = {0, 0};  // durable, unsynced
    int64_t round = 0;
    for (auto _ : state) {
        double taken[2] = {0, 0};
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (turn + round) % 2;
            auto root = std::make_unique<RouterRoot>();
            const auto start = Clock::now();
            const bool installed =
                installWith(which == 0 ? installerPath : nosyncInstallerPath, *root);
            taken[which] = std::chrono::duration<double>(Clock::now() - start).count();
            if (!installed) state.SkipWithError("the installation failed");
            root.reset();
            // What the unsynced run left dirty is written now, outside of both measurements.
            sync();
        }
        ++round;
        state.SetIterationTime(taken[0]);
        seconds[0] += taken[0];
        seconds[1] += taken[1];
    }
    state.counters["unsynced_ms"] = 1000 * seconds[1] / double(std::max<int64_t>(round, 1));
    state.counters["durable_per_unsynced"] = seconds[1] > 0 ? seconds[0] / seconds[1] : 0;
}

// Writes the inflated file container's entries below `flash`, creating directories as needed.
class EntryWriter {
  public:
    explicit EntryWriter(std::string flash) : flash_(std::move(flash)) {}
    ~EntryWriter() {
        if (target_ >= 0) close(target_);
    }
    EntryWriter(const EntryWriter&) = delete;
    EntryWriter& operator=(const EntryWriter&) = delete;

    void take(const char* at, size_t left) {
        while (left > 0) {
            if (header_.size() < kFileEntryHeaderSize) {
                const size_t step = std::min(left, kFileEntryHeaderSize - header_.size());
                header_.append(at, step);
                at += step;
                left -= step;
                if (header_.size() == kFileEntryHeaderSize) {
                    nameLeft_ = loadLittle16(header_.data() + kFileEntryNameLengthOffset);
                    dataLeft_ = loadLittle32(header_.data() + kFileEntrySizeOffset);
                    name_.clear();
                }
            } else if (nameLeft_ > 0) {
                const size_t step = std::min<size_t>(left, nameLeft_);
                name_.append(at, step);
                at += step;
                left -= step;
                nameLeft_ -= step;
                if (nameLeft_ == 0) open();
                if (nameLeft_ == 0 && dataLeft_ == 0) finish();
            } else {
                const size_t step = std::min<size_t>(left, dataLeft_);
                if (write(target_, at, step) != ssize_t(step)) std::perror("write");
                at += step;
                left -= step;
                dataLeft_ -= uint32_t(step);
                if (dataLeft_ == 0) finish();
            }
        }
    }

  private:
    void open() {
        const std::string path = flash_ + (name_.front() == '/' ? "" : "/") + name_;
        for (size_t slash = path.find('/', flash_.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string dir = path.substr(0, slash);
            if (made_.insert(dir).second) mkdir(dir.c_str(), 0755);
        }
        target_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (target_ < 0) std::perror(path.c_str());
    }
    void finish() {
        close(target_);
        target_ = -1;
        header_.clear();
    }

    std::string flash_;
    std::string header_;
    std::string name_;
    size_t nameLeft_ = 0;
    uint32_t dataLeft_ = 0;
    int target_ = -1;
    std::set<std::string> made_;
};

// Reads, hashes, inflates and writes the package the straightforward way.
bool referenceInstall(const std::string& flash) {
    const int source = open(packagePath.c_str(), O_RDONLY);
    if (source < 0) return false;
    EVP_MD_CTX* hash = EVP_MD_CTX_new();
    EVP_DigestInit_ex(hash, EVP_sha256(), nullptr);
    z_stream inflater{};
    inflateInit(&inflater);
    EntryWriter writer(flash);
    std::vector<char> block(kReadBlock);
    std::vector<char> inflated(kInflateBlock);

    // Part walk over the blocks: a part header may straddle two of them.
    std::string partHeader;
    uint64_t payloadLeft = 0;
    uint16_t type = 0;
    size_t skipOuter = kOuterHeaderSize;
    for (ssize_t got; (got = read(source, block.data(), block.size())) > 0;) {
        const char* at = block.data();
        size_t left = size_t(got);
        EVP_DigestUpdate(hash, at, left);
        while (left > 0) {
            if (skipOuter > 0) {
                const size_t step = std::min(left, skipOuter);
                skipOuter -= step;
                at += step;
                left -= step;
            } else if (payloadLeft == 0) {
                const size_t step = std::min(left, kPartHeaderSize - partHeader.size());
                partHeader.append(at, step);
                at += step;
                left -= step;
                if (partHeader.size() == kPartHeaderSize) {
                    type = loadLittle16(partHeader.data());
                    payloadLeft = loadLittle32(partHeader.data() + 2);
                    partHeader.clear();
                }
            } else {
                const size_t step = size_t(std::min<uint64_t>(left, payloadLeft));
                if (type == PartType::Files) {
                    inflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(at));
                    inflater.avail_in = uInt(step);
                    while (inflater.avail_in > 0) {
                        inflater.next_out = reinterpret_cast<Bytef*>(inflated.data());
                        inflater.avail_out = uInt(inflated.size());
                        const int result = inflate(&inflater, Z_NO_FLUSH);
                        writer.take(inflated.data(), inflated.size() - inflater.avail_out);
                        if (result == Z_STREAM_END) break;
                        if (result != Z_OK) return false;
                    }
                }
                at += step;
                left -= step;
                payloadLeft -= step;
            }
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(hash, digest, &length);
    benchmark::DoNotOptimize(digest);
    EVP_MD_CTX_free(hash);
    inflateEnd(&inflater);
    close(source);
    // The installation makes its files durable before it reports success; so does this.
    sync();
    return true;
}

void Reference(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto root = std::make_unique<RouterRoot>();
        state.ResumeTiming();
        if (!referenceInstall(root->path() + "/flash")) state.SkipWithError("unreadable package");
        state.PauseTiming();
        root.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fileSize(packagePath)));
}

// Prints the usual table, then Install's throughput as a fraction of the reference's and the
// durable installation's time as a multiple of the unsynced one's.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || run.iterations == 0) continue;
            if (run.run_type != Run::RT_Iteration && !median) continue;
            seconds_[run.run_name.function_name] =
                run.real_accumulated_time / double(run.iterations);
            const auto ratio = run.counters.find("durable_per_unsynced");
            if (ratio != run.counters.end()) durability_ = ratio->second;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto install = seconds_.find("Install");
        const auto reference = seconds_.find("Reference");
        if (install != seconds_.end() && reference != seconds_.end() && install->second > 0)
            std::printf("Install throughput = %.3f x Reference\n",
                        reference->second / install->second);
        if (durability_ > 0)
            std::printf("Durable install = %.3f x the same install without syncing\n", durability_);
    }

  private:
    std::map<std::string, double> seconds_;
    double durability_ = 0;
};

}  // namespace

BENCHMARK(Reference)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Install)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Durability)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--package=", 0) == 0)
            packagePath = argument.substr(10);
        else if (argument.rfind("--installer=", 0) == 0)
            installerPath = argument.substr(12);
        else if (argument.rfind("--nosync-installer=", 0) == 0)
            nosyncInstallerPath = argument.substr(19);
        else if (argument.rfind("--roots=", 0) == 0)
            rootsDirectory = argument.substr(8);
        else
            rest.push_back(argv[i]);
    }
    int count = int(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
    if (packagePath.empty() || installerPath.empty() || nosyncInstallerPath.empty()) {
        std::fprintf(stderr,
                     "usage: install_bench --package=PKG --installer=INSTALLER "
                     "--nosync-installer=INSTALLER_NOSYNC [--roots=DIR]\n");
        return 2;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
