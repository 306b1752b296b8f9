// Package reader throughput against a reference loop on the same bytes in the same run:
//   ReaderHashingTee   reads the file container of a package through the reader with SHA-256
//                      hashing and a tee sink, as an installation from standard input does;
//   ReaderPassOver     passes over an unwanted image part, hashed and copied;
//   ReferenceSha256Copy reads the same file in the same chunks, hashes it with libcrypto and
//                      copies it into the same kind of sink: the work the reader cannot avoid.
//   ReaderSeekOver     passes over the image with hashing off and no sink; its counter
//                      file_bytes_read shows that the image is seeked over, not read.
// The ratio ReaderHashingTee / ReferenceSha256Copy (bytes per second) is the figure to watch.
// Peak memory: run one size at a time under /usr/bin/time -v, e.g.
//   --benchmark_filter='ReaderHashingTee/64' and --benchmark_filter='ReaderHashingTee/256'.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "package/little_endian.h"
#include "package/package_reader.h"

using namespace velmara;

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kChunk = 64 * 1024;

// A sink that takes every byte with one copy into a small reused buffer, so the copy costs
// what a write into a page-cache file costs without the file system's noise.
class CopySink : public std::streambuf {
public:
    size_t taken = 0;

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize n) override {
        std::streamsize left = n;
        while (left > 0) {
            const size_t step = std::min<size_t>(size_t(left), sizeof buffer_);
            std::memcpy(buffer_, bytes, step);
            benchmark::DoNotOptimize(buffer_);
            bytes += step;
            left -= std::streamsize(step);
        }
        taken += size_t(n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            buffer_[0] = traits_type::to_char_type(c);
            ++taken;
        }
        return c;
    }

private:
    char buffer_[kChunk];
};

void appendPartHeader(std::string& out, uint16_t type, uint32_t length) {
    appendLittle16(out, type);
    appendLittle32(out, length);
}

// A package of about `megabytes` MiB in a temporary file: marker, header, then either a file
// container or an image part of that size (random bytes), then a signature. Made once per
// size and kept for the run.
struct TestPackage {
    std::string path;
    size_t size = 0;
};

const TestPackage& package(size_t megabytes, uint16_t bigPartType) {
    static std::map<std::pair<size_t, uint16_t>, TestPackage> made;
    auto& entry = made[{megabytes, bigPartType}];
    if (!entry.path.empty()) return entry;

    char name[] = "/tmp/reader-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    entry.path = name;
    std::ofstream out(entry.path, std::ios::binary | std::ios::trunc);

    const uint32_t bigSize = uint32_t(megabytes * kMiB);
    std::string head;
    appendPartHeader(head, uint16_t(PartType::Sha256Marker), 0);
    std::string block(kHeaderBlockSize + kHeaderFlagsSize, '\0');
    std::memcpy(block.data(), "benchmark", 9);
    appendPartHeader(head, uint16_t(PartType::Header), uint32_t(block.size()));
    head += block;
    appendPartHeader(head, bigPartType, bigSize);
    std::string tail;
    appendPartHeader(tail, uint16_t(PartType::Signature), 132);
    tail.append(132, 's');

    const size_t total = kOuterHeaderSize + head.size() + bigSize + tail.size();
    std::string outer;
    appendLittle32(outer, PackageMagic);
    appendLittle32(outer, uint32_t(total - kOuterHeaderSize));
    out << outer << head;
    std::mt19937_64 generator(42);
    std::vector<uint64_t> chunk(kMiB / sizeof(uint64_t));
    for (size_t i = 0; i < megabytes; ++i) {
        for (auto& word : chunk) word = generator();
        out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(kMiB));
    }
    out << tail;
    out.close();
    if (!out) std::abort();
    entry.size = total;
    static const bool cleanupRegistered = [] {
        return std::atexit([] {
            for (auto& [key, madePackage] : made) std::remove(madePackage.path.c_str());
        }) == 0;
    }();
    (void)cleanupRegistered;
    return entry;
}

// Bytes this process has read through read(2) so far, from the kernel's own count.
uint64_t bytesReadFromFiles() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

void ReaderHashingTee(benchmark::State& state) {
    const TestPackage& file = package(size_t(state.range(0)), uint16_t(PartType::Files));
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        std::ifstream source(file.path, std::ios::binary);
        CopySink sink;
        PackageReader reader(source, true, &sink);
        reader.wantedTypes = {1, 4, 9};
        reader.nextPart();
        if (reader.nextPart() != PartType::Files) state.SkipWithError("no file container");
        for (uint32_t left = reader.partLength(); left > 0;) {
            const size_t step = std::min<size_t>(left, kChunk);
            reader.read(buffer.data(), std::streamsize(step));
            left -= uint32_t(step);
        }
        if (reader.nextPart() != PartType::Signature) state.SkipWithError("no signature");
        reader.parts().finishDigest();
        benchmark::DoNotOptimize(reader.parts().digest());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size));
}

void ReaderPassOver(benchmark::State& state) {
    const TestPackage& file = package(size_t(state.range(0)), uint16_t(PartType::Image));
    for (auto _ : state) {
        std::ifstream source(file.path, std::ios::binary);
        CopySink sink;
        PackageReader reader(source, true, &sink);
        reader.wantedTypes = {1, 9};
        reader.nextPart();
        if (reader.nextPart() != PartType::Signature) state.SkipWithError("no signature");
        reader.parts().finishDigest();
        benchmark::DoNotOptimize(reader.parts().digest());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size));
}

void ReferenceSha256Copy(benchmark::State& state) {
    const TestPackage& file = package(size_t(state.range(0)), uint16_t(PartType::Files));
    std::vector<char> buffer(kChunk);
    unsigned char digest[EVP_MAX_MD_SIZE];
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    for (auto _ : state) {
        std::ifstream source(file.path, std::ios::binary);
        CopySink sink;
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        while (source.read(buffer.data(), std::streamsize(buffer.size())) || source.gcount() > 0) {
            const auto got = source.gcount();
            sink.sputn(buffer.data(), got);
            EVP_DigestUpdate(context, buffer.data(), size_t(got));
        }
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size));
}

void ReaderSeekOver(benchmark::State& state) {
    const TestPackage& file = package(size_t(state.range(0)), uint16_t(PartType::Image));
    uint64_t read = 0;
    for (auto _ : state) {
        const uint64_t before = bytesReadFromFiles();
        std::ifstream source(file.path, std::ios::binary);
        PackageReader reader(source, false);
        reader.wantedTypes = {1, 9};
        reader.nextPart();
        if (reader.nextPart() != PartType::Signature) state.SkipWithError("no signature");
        read += bytesReadFromFiles() - before;
    }
    state.counters["file_bytes_read"] =
        benchmark::Counter(double(read) / double(state.iterations()));
    state.counters["package_bytes"] = benchmark::Counter(double(file.size));
}

}  // namespace

BENCHMARK(ReferenceSha256Copy)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(ReaderHashingTee)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(ReaderPassOver)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(ReaderSeekOver)->Arg(256)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
