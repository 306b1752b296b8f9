// Loading the installed-package database and printing the "--show" table, measured against a
// reference loop that reads the same files the way cat does (open, read, write to /dev/null).
//
// The loader reads fixed paths, so the benchmark builds its databases in a temporary router
// root and changes its root there (run it as root). Each database lies beside the real one
// and is renamed into place while it is measured. Figures are printed as ratios to the
// reference measured in the same run, since absolute times drift on shared machines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/listing.h"
#include "pkgdb/database.h"
#include "pkgdb/installer.h"

using namespace velmara;

namespace {

constexpr int kSmallDatabase = 1000;
constexpr int kLargeDatabase = 2000;
constexpr int kImageDatabase = 200;
constexpr size_t kImageFilesPart = 32 * 1024;  // the file container each kept image carries
constexpr size_t kFilesPerPackage = 12;
constexpr size_t kReadBlock = 65536;

int devNull = -1;

std::string le16(uint16_t v) {
    return {char(v & 0xFF), char(v >> 8)};
}
std::string le32(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}
std::string part(uint16_t type, const std::string& payload) {
    return le16(type) + le32(static_cast<uint32_t>(payload.size())) + payload;
}
std::string nameField(const std::string& name) {
    return (name + std::string(16, '\0')).substr(0, 16);
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string packageName(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "pkg%05d", i);
    return name;
}

// Metadata-only entries as the installer writes them: every list, some disabled.
void buildMetadataDatabase(const std::string& dir, int count) {
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < count; ++i) {
        const std::string entry = dir + "/" + packageName(i) + "/";
        mkdir(entry.c_str(), 0755);
        writeFile(entry + "version", std::to_string(0x07016600 + i) + " 1552000000\n");
        writeFile(entry + "deps", "libc 0 0\nzlib 16934400 0\n");
        writeFile(entry + "provides", "svc" + std::to_string(i) + " 0 0 10\n");
        if (i % 7 == 0) writeFile(entry + "conflicts", "legacy 0 0\n");
        std::string files;
        for (size_t f = 0; f < kFilesPerPackage; ++f)
            files += "flash/usr/lib/" + packageName(i) + "/file" + std::to_string(f) + "\n";
        writeFile(entry + "files", files);
        if (i % 10 == 0) writeFile(entry + "disabled", "user\n");
    }
}

// Entries that keep their whole package file as "image".
void buildImageDatabase(const std::string& dir, int count) {
    mkdir(dir.c_str(), 0755);
    std::string filler(kImageFilesPart, '\0');
    for (size_t k = 0; k < filler.size(); ++k) filler[k] = static_cast<char>((k * 7919) >> 3);
    for (int i = 0; i < count; ++i) {
        const std::string name = packageName(i);
        const std::string entry = dir + "/" + name + "/";
        mkdir(entry.c_str(), 0755);
        std::string deps = le16(2) + nameField("libc") + std::string(16, '\0') + nameField("zlib") +
                           le32(0x01026600) + std::string(12, '\0');
        std::string parts = part(1, nameField(name) + le32(0x07016600 + i) + le32(1552000000) +
                                        std::string(8, '\0') + le32(0)) +
                            part(23, "kept image " + std::to_string(i)) + part(3, deps) +
                            part(21, "") + part(4, filler) + part(9, std::string(68, 's'));
        writeFile(entry + "image",
                  le32(0xBAD0F11Eu) + le32(static_cast<uint32_t>(parts.size())) + parts);
        if (i % 10 == 0) writeFile(entry + "disabled", "auto\n");
    }
}

std::vector<std::string>* collected = nullptr;
int collectFile(const char* path, const struct stat*, int type, FTW*) {
    if (type == FTW_F) collected->push_back(path);
    return 0;
}

std::vector<std::string> filesBelow(const std::string& dir) {
    std::vector<std::string> files;
    collected = &files;
    nftw(dir.c_str(), collectFile, 16, FTW_PHYS);
    return files;
}

// Puts one database in place for the length of a benchmark.
class DatabaseInPlace {
  public:
    explicit DatabaseInPlace(std::string name) : name_(std::move(name)) {
        if (rename(name_.c_str(), "/flash/var/pdb") != 0) std::perror("rename");
    }
    ~DatabaseInPlace() { rename("/flash/var/pdb", name_.c_str()); }

  private:
    std::string name_;
};

void loadAndShow(benchmark::State& state, const std::string& database) {
    DatabaseInPlace inPlace(database);
    size_t packages = 0;
    for (auto _ : state) {
        Installer installer;
        if (!installer.loadDatabase(false, "ppc")) state.SkipWithError("database unreadable");
        std::ostringstream table;
        showPackages(installer, table);
        packages = installer.packages.size();
        benchmark::DoNotOptimize(table.str().data());
    }
    state.counters["packages"] = static_cast<double>(packages);
}

void catFiles(benchmark::State& state, const std::string& database) {
    const std::vector<std::string> files = filesBelow(database);
    std::vector<char> block(kReadBlock);
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const std::string& file : files) {
            const int fd = open(file.c_str(), O_RDONLY);
            if (fd < 0) continue;
            for (ssize_t got; (got = read(fd, block.data(), block.size())) > 0;) {
                bytes += static_cast<size_t>(got);
                if (write(devNull, block.data(), static_cast<size_t>(got)) < 0) break;
            }
            close(fd);
        }
    }
    state.counters["files"] = static_cast<double>(files.size());
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

const std::string kSmall = "/flash/var/pdb-" + std::to_string(kSmallDatabase);
const std::string kLarge = "/flash/var/pdb-" + std::to_string(kLargeDatabase);
const std::string kImages = "/flash/var/pdb-images" + std::to_string(kImageDatabase);

// Keeps each benchmark's real and CPU time per iteration (the median when repeated), to print
// the ratios after the run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    struct Times {
        double real = 0;
        double cpu = 0;
    };
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((run.run_type == Run::RT_Iteration || median) && run.iterations > 0) {
                times[run.run_name.str()] = {run.real_accumulated_time / run.iterations,
                                             run.cpu_accumulated_time / run.iterations};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, Times> times;
};

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char pattern[] = "/tmp/database-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string root = pattern;
    for (const char* dir : {"/flash", "/flash/var", "/ram", "/rw", "/rw/pckg", "/tmp"})
        mkdir((root + dir).c_str(), 0755);
    buildMetadataDatabase(root + kSmall, kSmallDatabase);
    buildMetadataDatabase(root + kLarge, kLargeDatabase);
    buildImageDatabase(root + kImages, kImageDatabase);

    devNull = open("/dev/null", O_WRONLY);
    const int realRoot = open("/", O_RDONLY | O_DIRECTORY);
    if (geteuid() != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) std::perror("unshare");
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
        std::perror("chroot (run the benchmark as root)");
        nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
        return 1;
    }

    benchmark::RegisterBenchmark("load_show/metadata1000", loadAndShow, kSmall);
    benchmark::RegisterBenchmark("cat/metadata1000", catFiles, kSmall);
    benchmark::RegisterBenchmark("load_show/metadata2000", loadAndShow, kLarge);
    benchmark::RegisterBenchmark("cat/metadata2000", catFiles, kLarge);
    benchmark::RegisterBenchmark("load_show/images200", loadAndShow, kImages);
    benchmark::RegisterBenchmark("cat/images200", catFiles, kImages);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto& t = reporter.times;
    const auto ratio = [&](const std::string& a, const std::string& b) {
        if (t.count(a) == 0 || t.count(b) == 0 || t[b].real <= 0 || t[b].cpu <= 0) return;
        std::printf("%-48s real %.2f  cpu %.2f\n", (a + " / " + b).c_str(), t[a].real / t[b].real,
                    t[a].cpu / t[b].cpu);
    };
    std::printf("\nRatios (same run):\n");
    ratio("load_show/metadata1000", "cat/metadata1000");
    ratio("load_show/metadata2000", "cat/metadata2000");
    ratio("load_show/images200", "cat/images200");
    ratio("load_show/metadata2000", "load_show/metadata1000");
    ratio("cat/metadata2000", "cat/metadata1000");

    // Back to the real root to clean up.
    if (fchdir(realRoot) == 0 && chroot(".") == 0)
        nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    benchmark::Shutdown();
    return 0;
}
