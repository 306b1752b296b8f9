// Packaging tool throughput against reference loops over the same bytes in the same run:
//   WriterBuild        writes a package (file container deflated at level 6) of many files,
//                      half compressible text, half random, into a sink that keeps nothing;
//   ReferenceDeflate   deflates the same file bytes at the same level in the same chunks: the
//                      work the writer cannot avoid.
//   SignerSign         signs that package in memory: copies it part by part, reads the copy
//                      back through the package reader with SHA-256 and signs the digest;
//   ReferenceSha256Copy copies the same package once and hashes it once with libcrypto.
// The ratios WriterBuild / ReferenceDeflate and SignerSign / ReferenceSha256Copy (bytes per
// second) are the figures to watch. Peak memory of the command-line tool: run "vlpkg build"
// under /usr/bin/time -v on trees of different sizes; it must not grow with the tree.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "vlpkg/package_signer.h"
#include "vlpkg/package_writer.h"
#include "vlpkg/signing_key.h"

using namespace velmara;

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kFileSize = 256 * 1024;
constexpr size_t kChunk = 64 * 1024;

// Takes the bytes and forgets them; patches land inside what was "written".
class DiscardSink : public vlpkg::ByteSink {
  public:
    bool write(const void* data, size_t size) override {
        benchmark::DoNotOptimize(data);
        written_ += size;
        return true;
    }
    bool patch(uint64_t offset, const void*, size_t size) override {
        return offset + size <= written_;
    }
    uint64_t position() const override { return written_; }
    std::unique_ptr<std::istream> readBack() override { return nullptr; }

  private:
    uint64_t written_ = 0;
};

const vlpkg::PackageSpec& description(size_t megabytes) {
    static std::map<size_t, vlpkg::PackageSpec> made;
    vlpkg::PackageSpec& entry = made[megabytes];
    if (!entry.name.empty()) return entry;
    entry.name = "bench";
    entry.version = 0x07016600;
    std::mt19937_64 generator(42);
    const size_t files = megabytes * kMiB / kFileSize;
    for (size_t i = 0; i < files; ++i) {
        vlpkg::FileSpec file;
        file.name = "lib/file" + std::to_string(i);
        std::string& data = file.content.bytes;
        data.resize(kFileSize);
        if (i % 2 == 0) {
            for (size_t k = 0; k < data.size(); k += 8) {
                const uint64_t word = generator();
                std::memcpy(&data[k], &word, 8);
            }
        } else {
            for (size_t k = 0; k < data.size(); ++k)
                data[k] = "config line value=\n"[(k + i) % 19] + char(generator() % 64 == 0);
        }
        entry.files.push_back(std::move(file));
    }
    return entry;
}

uint64_t specBytes(const vlpkg::PackageSpec& package) {
    uint64_t total = 0;
    for (const auto& file : package.files) total += file.content.bytes.size();
    return total;
}

const std::string& packageBytes(size_t megabytes) {
    static std::map<size_t, std::string> made;
    std::string& entry = made[megabytes];
    if (entry.empty()) {
        vlpkg::StringSink sink;
        if (!vlpkg::writePackage(sink, description(megabytes))) std::abort();
        entry = std::move(sink.bytes);
    }
    return entry;
}

void WriterBuild(benchmark::State& state) {
    const vlpkg::PackageSpec& package = description(size_t(state.range(0)));
    for (auto _ : state) {
        DiscardSink sink;
        if (!vlpkg::writePackage(sink, package)) state.SkipWithError("writer failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(specBytes(package)));
}

void ReferenceDeflate(benchmark::State& state) {
    const vlpkg::PackageSpec& package = description(size_t(state.range(0)));
    std::vector<uint8_t> output(kChunk);
    for (auto _ : state) {
        z_stream stream{};
        deflateInit(&stream, 6);
        for (const auto& file : package.files) {
            const std::string& data = file.content.bytes;
            for (size_t done = 0; done < data.size(); done += kChunk) {
                stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + done));
                stream.avail_in = uInt(std::min(kChunk, data.size() - done));
                do {
                    stream.next_out = output.data();
                    stream.avail_out = uInt(output.size());
                    deflate(&stream, Z_NO_FLUSH);
                    benchmark::DoNotOptimize(output.data());
                } while (stream.avail_out == 0);
            }
        }
        do {
            stream.next_out = output.data();
            stream.avail_out = uInt(output.size());
        } while (deflate(&stream, Z_FINISH) == Z_OK);
        deflateEnd(&stream);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(specBytes(package)));
}

void SignerSign(benchmark::State& state) {
    const std::string& bytes = packageBytes(size_t(state.range(0)));
    vlpkg::KeyHandle key = vlpkg::generateKey();
    for (auto _ : state) {
        std::istringstream in(bytes);
        vlpkg::StringSink out;
        if (!vlpkg::signPackageFile(in, "bench", out, key.get()))
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(out.bytes.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

void ReferenceSha256Copy(benchmark::State& state) {
    const std::string& bytes = packageBytes(size_t(state.range(0)));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        std::istringstream in(bytes);
        std::string copy;
        copy.reserve(bytes.size());
        std::vector<char> chunk(kChunk);
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        while (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0) {
            copy.append(chunk.data(), size_t(in.gcount()));
            EVP_DigestUpdate(context, chunk.data(), size_t(in.gcount()));
        }
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, digest, &length);
        benchmark::DoNotOptimize(digest);
        benchmark::DoNotOptimize(copy.data());
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

BENCHMARK(WriterBuild)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(ReferenceDeflate)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(SignerSign)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(ReferenceSha256Copy)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
