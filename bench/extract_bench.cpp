// Extraction throughput against a reference loop on the same package in the same run. Each
// iteration runs both, in alternating order:
//   the extraction  reads the package through the reader (SHA-256 hashing on, as an
//                   installation does), inflates the file container and stages every file
//                   below /flash;
//   the reference   reads the same container bytes in blocks of the extraction's input size,
//                   hashes them with SHA-256, inflates them into blocks of its output size with
//                   zlib, splits the entries and writes each file to a new temporary file below
//                   /flash in chunks of 16 KiB: the work that extraction cannot avoid.
// The argument is the inflated container size in MiB (files of 1 MiB, alternately random and
// compressible text). The counter "ratio" is the reference's time divided by the extraction's
// (their throughput ratio, wall clock; "ratio_cpu" the same in CPU time), which must stay at
// 0.85 or above. "rss_growth_kib" shows how much the peak resident size grew while extracting;
// for the peak of one size alone run it by itself under /usr/bin/time -v, e.g.
//   --benchmark_filter='/16' and --benchmark_filter='/256'.
// It needs root: the process changes its root to a temporary directory, since the installer
// writes to fixed paths.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "package/extract.h"
#include "package/inflate_stream_buf.h"
#include "package/little_endian.h"
#include "package/package_reader.h"
#include "pkgdb/installer.h"
#include "staging/manifest.h"

using namespace velmara;

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kFileSize = kMiB;
constexpr uint32_t kSignatureLength = 132;
// The reference writes each file in chunks of this size.
constexpr size_t kReferenceChunk = 16384;

struct TestPackage {
    std::string path;  // inside the changed root
    uint64_t containerOffset = 0;
    uint32_t containerLength = 0;
    uint64_t inflatedSize = 0;
    size_t files = 0;
};

void appendPartHeader(std::string& out, uint16_t type, uint32_t length) {
    appendLittle16(out, type);
    appendLittle32(out, length);
}

// The bytes of file i: random for even i, repetitive text with numbers for odd i.
void fileContents(size_t i, std::string& out) {
    out.resize(kFileSize);
    if (i % 2 == 0) {
        std::mt19937_64 generator(i);
        for (size_t k = 0; k + 8 <= out.size(); k += 8) {
            const uint64_t word = generator();
            std::memcpy(out.data() + k, &word, 8);
        }
        return;
    }
    size_t at = 0;
    for (size_t line = 0; at < out.size(); ++line) {
        char text[64];
        const int n = std::snprintf(text, sizeof text, "line %zu of file %zu: value=%zu\n", line, i,
                                    line * 7919 % 1000);
        for (int k = 0; k < n && at < out.size(); ++k) out[at++] = text[k];
    }
}

// Writes the package: marker, header, the container (deflated as it is generated, so the
// generator's memory stays small) and a signature part. The container's length is patched in.
TestPackage makePackage(size_t megabytes) {
    TestPackage made;
    made.path = "/bench-" + std::to_string(megabytes) + ".vlp";
    std::fstream out(made.path, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    std::string head;
    appendLittle32(head, PackageMagic);
    appendLittle32(head, 0);  // patched
    appendPartHeader(head, uint16_t(PartType::Sha256Marker), 0);
    std::string block(kHeaderBlockSize + kHeaderFlagsSize, '\0');
    std::memcpy(block.data(), "benchmark", 9);
    storeLittle32(reinterpret_cast<uint8_t*>(block.data()) + kHeaderVersionOffset, 0x07016600);
    appendPartHeader(head, uint16_t(PartType::Header), uint32_t(block.size()));
    head += block;
    const size_t containerHeader = head.size();
    appendPartHeader(head, uint16_t(PartType::Files), 0);  // patched
    out.write(head.data(), std::streamsize(head.size()));
    made.containerOffset = head.size();

    z_stream deflater{};
    if (deflateInit(&deflater, 1) != Z_OK) std::abort();
    std::vector<unsigned char> compressed(256 * 1024);
    uint64_t compressedSize = 0;
    const auto feed = [&](const std::string& bytes, int flush) {
        deflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        deflater.avail_in = uInt(bytes.size());
        do {
            deflater.next_out = compressed.data();
            deflater.avail_out = uInt(compressed.size());
            deflate(&deflater, flush);
            const size_t have = compressed.size() - deflater.avail_out;
            out.write(reinterpret_cast<const char*>(compressed.data()), std::streamsize(have));
            compressedSize += have;
        } while (deflater.avail_out == 0 || (flush == Z_FINISH && deflater.avail_in > 0));
    };
    std::string contents;
    for (size_t i = 0; i < megabytes; ++i) {
        char name[64];
        const int nameLength =
            std::snprintf(name, sizeof name, "bench/dir%02zu/file%04zu", i % 16, i);
        std::string entry(kFileEntryHeaderSize, '\0');
        auto* bytes = reinterpret_cast<uint8_t*>(entry.data());
        storeLittle16(bytes + kFileEntryModeOffset, 0100644);
        storeLittle32(bytes + kFileEntrySizeOffset, uint32_t(kFileSize));
        storeLittle16(bytes + kFileEntryNameLengthOffset, uint16_t(nameLength));
        entry.append(name, size_t(nameLength));
        feed(entry, Z_NO_FLUSH);
        fileContents(i, contents);
        feed(contents, Z_NO_FLUSH);
        made.inflatedSize += entry.size() + contents.size();
        ++made.files;
    }
    feed("", Z_FINISH);
    deflateEnd(&deflater);
    made.containerLength = uint32_t(compressedSize);

    std::string tail;
    appendPartHeader(tail, uint16_t(PartType::Signature), kSignatureLength);
    tail.append(kSignatureLength, 's');
    out.write(tail.data(), std::streamsize(tail.size()));
    const uint64_t total = made.containerOffset + compressedSize + tail.size();

    uint8_t field[4];
    storeLittle32(field, uint32_t(total - kOuterHeaderSize));
    out.seekp(4);
    out.write(reinterpret_cast<const char*>(field), 4);
    storeLittle32(field, made.containerLength);
    out.seekp(std::streamoff(containerHeader + 2));
    out.write(reinterpret_cast<const char*>(field), 4);
    out.close();
    if (!out) std::abort();
    return made;
}

const TestPackage& package(size_t megabytes) {
    static std::map<size_t, TestPackage> made;
    auto found = made.find(megabytes);
    if (found == made.end()) found = made.emplace(megabytes, makePackage(megabytes)).first;
    return found->second;
}

long peakKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class NullBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Wall-clock and CPU seconds spent in a loop.
struct Timing {
    double real = 0;
    double cpu = 0;
};

class Stopwatch {
  public:
    Stopwatch() : real_(std::chrono::steady_clock::now()), cpu_(cpuNow()) {}
    void addTo(Timing& timing) const {
        const auto elapsed = std::chrono::steady_clock::now() - real_;
        timing.real += std::chrono::duration<double>(elapsed).count();
        timing.cpu += cpuNow() - cpu_;
    }

  private:
    static double cpuNow() {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
    }
    std::chrono::steady_clock::time_point real_;
    double cpu_;
};

// One extraction as an installation runs it; the staged files are dropped afterwards, untimed.
bool extractOnce(const TestPackage& file, Timing& timing, long& growth) {
    const long before = peakKib();
    Manifest manifest;
    bool ok = true;
    {
        const Stopwatch watch;
        std::ifstream source(file.path, std::ios::binary);
        PackageReader reader(source, true);
        reader.wantedTypes = {1, 4, 9};
        reader.nextPart();
        InstalledPackage record("benchmark");
        ok = reader.nextPart() == PartType::Files &&
             extractFiles(record, manifest, reader, std::nullopt) &&
             reader.nextPart() == PartType::Signature && record.files.size() == file.files;
        watch.addTo(timing);
    }
    growth = std::max(growth, peakKib() - before);
    manifest.discard();
    return ok;
}

// The reference loop; its files are removed afterwards, untimed.
bool referenceOnce(const TestPackage& file, Timing& timing) {
    std::vector<std::string> written;
    bool ok = true;
    {
        const Stopwatch watch;
        const int source = open(file.path.c_str(), O_RDONLY);
        if (source < 0 || lseek(source, off_t(file.containerOffset), SEEK_SET) < 0) return false;
        EVP_MD_CTX* hash = EVP_MD_CTX_new();
        EVP_DigestInit_ex(hash, EVP_sha256(), nullptr);
        z_stream inflater{};
        inflateInit(&inflater);
        unsigned char input[kInflateInputBlock];
        unsigned char output[kInflateOutputBlock];
        std::vector<char> chunk(kReferenceChunk);
        size_t chunkUsed = 0;
        std::string header;
        std::string name;
        uint32_t dataLeft = 0;
        int target = -1;
        enum { Header, Name, Data } phase = Header;
        uint32_t compressedLeft = file.containerLength;
        const auto flush = [&] {
            if (chunkUsed > 0 && write(target, chunk.data(), chunkUsed) != ssize_t(chunkUsed))
                ok = false;
            chunkUsed = 0;
        };
        int result = Z_OK;
        while (result != Z_STREAM_END && compressedLeft > 0) {
            const ssize_t got = read(source, input, std::min<size_t>(sizeof input, compressedLeft));
            if (got <= 0) break;
            compressedLeft -= uint32_t(got);
            EVP_DigestUpdate(hash, input, size_t(got));
            inflater.next_in = input;
            inflater.avail_in = uInt(got);
            while (inflater.avail_in > 0 && result != Z_STREAM_END) {
                inflater.next_out = output;
                inflater.avail_out = sizeof output;
                result = inflate(&inflater, Z_PARTIAL_FLUSH);
                const unsigned char* at = output;
                size_t left = sizeof output - inflater.avail_out;
                while (left > 0) {
                    if (phase == Header) {
                        const size_t take = std::min(left, kFileEntryHeaderSize - header.size());
                        header.append(reinterpret_cast<const char*>(at), take);
                        at += take;
                        left -= take;
                        if (header.size() == kFileEntryHeaderSize) {
                            dataLeft = loadLittle32(header.data() + kFileEntrySizeOffset);
                            name.clear();
                            phase = Name;
                        }
                    } else if (phase == Name) {
                        const size_t want =
                            loadLittle16(header.data() + kFileEntryNameLengthOffset);
                        const size_t take = std::min(left, want - name.size());
                        name.append(reinterpret_cast<const char*>(at), take);
                        at += take;
                        left -= take;
                        if (name.size() == want) {
                            char path[] = "/flash/tmpXXXXXX";
                            target = mkstemp(path);
                            fchmod(target, 0644);
                            written.push_back(path);
                            phase = Data;
                        }
                    } else {
                        const size_t take = std::min<size_t>(left, dataLeft);
                        const size_t step = std::min(take, chunk.size() - chunkUsed);
                        std::memcpy(chunk.data() + chunkUsed, at, step);
                        chunkUsed += step;
                        at += step;
                        left -= step;
                        dataLeft -= uint32_t(step);
                        if (chunkUsed == chunk.size() || dataLeft == 0) flush();
                        if (dataLeft == 0) {
                            close(target);
                            header.clear();
                            phase = Header;
                        }
                    }
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
        watch.addTo(timing);
    }
    for (const std::string& path : written) unlink(path.c_str());
    return ok && written.size() == file.files;
}

// Both loops in each iteration, in alternating order: the file system slows down while it
// holds many recently deleted files, which would otherwise penalise whichever loop ran second.
// The iteration time reported is the extraction's.
void ExtractVersusReference(benchmark::State& state) {
    const TestPackage& file = package(size_t(state.range(0)));
    NullBuffer nothing;
    std::ostream console(&nothing);
    Installer::instance().console = &console;
    Timing extract;
    Timing reference;
    long growth = 0;
    bool extractFirst = true;
    for (auto _ : state) {
        Timing mine;
        const bool ok = extractFirst
                            ? extractOnce(file, mine, growth) && referenceOnce(file, reference)
                            : referenceOnce(file, reference) && extractOnce(file, mine, growth);
        if (!ok) state.SkipWithError("a loop failed");
        extractFirst = !extractFirst;
        extract.real += mine.real;
        extract.cpu += mine.cpu;
        state.SetIterationTime(mine.real);
    }
    const double iterations = double(state.iterations());
    state.counters["reference_ms"] = benchmark::Counter(reference.real * 1000 / iterations);
    state.counters["ratio"] = benchmark::Counter(reference.real / extract.real);
    state.counters["ratio_cpu"] = benchmark::Counter(reference.cpu / extract.cpu);
    state.counters["rss_growth_kib"] = benchmark::Counter(double(growth));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.inflatedSize));
}

// A temporary router root (the installer stages below /flash and in /ram), entered with
// chroot; the directory it lies in stays open so that the root can be removed at the end.
struct RouterRoot {
    int parent = -1;
    std::string name;
};

RouterRoot enterRoot() {
    RouterRoot root;
    char path[] = "/var/tmp/extract-bench-XXXXXX";
    if (mkdtemp(path) == nullptr) return root;
    for (const char* inside : {"/flash", "/ram", "/tmp"})
        mkdir((std::string(path) + inside).c_str(), 0755);
    root.parent = open("/var/tmp", O_RDONLY | O_DIRECTORY);
    root.name = std::string(path).substr(std::strlen("/var/tmp/"));
    if (chroot(path) != 0 || chdir("/") != 0) {
        for (const char* inside : {"/flash", "/ram", "/tmp"})
            rmdir((std::string(path) + inside).c_str());
        rmdir(path);
        root.name.clear();
    }
    return root;
}

void removeRoot(const RouterRoot& root) {
    for (size_t size : {16u, 256u})
        std::remove(("/bench-" + std::to_string(size) + ".vlp").c_str());
    for (const char* inside : {"/flash", "/ram", "/tmp"}) rmdir(inside);
    unlinkat(root.parent, root.name.c_str(), AT_REMOVEDIR);
    close(root.parent);
}

}  // namespace

BENCHMARK(ExtractVersusReference)
    ->Arg(16)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->MinTime(6);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const RouterRoot root = enterRoot();
    if (root.name.empty()) {
        std::fprintf(stderr, "extract_bench: needs root to change its root directory\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    removeRoot(root);
    return 0;
}
