// The cost of making a commit durable: Manifest::commit (which syncs before the moves and at the
// end) against the same renames without any sync, on the same freshly written files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frontend/manifest.h"

namespace {

struct StagedSet {
    std::string dir;
    std::vector<std::pair<std::string, std::string>> moves;  // source, target
};

StagedSet stage(int files, size_t bytes) {
    StagedSet set;
    char pattern[] = "/var/tmp/manifest-bench-XXXXXX";
    set.dir = mkdtemp(pattern);
    const std::string data(bytes, 'x');
    for (int i = 0; i < files; ++i) {
        const std::string source = set.dir + "/s" + std::to_string(i);
        const int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) abort();
        close(fd);
        set.moves.emplace_back(source, set.dir + "/t/" + std::to_string(i));
    }
    return set;
}

void cleanUp(const StagedSet& set) {
    for (const auto& [source, target] : set.moves) unlink(target.c_str());
    rmdir((set.dir + "/t").c_str());
    rmdir(set.dir.c_str());
}

void BM_CommitDurable(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        StagedSet set = stage(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
        Manifest manifest;
        for (const auto& [source, target] : set.moves) manifest.record(target, MoveTemporary, source);
        state.ResumeTiming();
        manifest.commit(false);
        state.PauseTiming();
        cleanUp(set);
        state.ResumeTiming();
    }
}

void BM_RenamesOnly(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        StagedSet set = stage(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
        state.ResumeTiming();
        makeDirectories(set.dir + "/t");
        for (const auto& [source, target] : set.moves) rename(source.c_str(), target.c_str());
        state.PauseTiming();
        cleanUp(set);
        state.ResumeTiming();
    }
}

}  // namespace

// 400 files of 160 KiB is about the size of a large package.
BENCHMARK(BM_CommitDurable)->Args({400, 160 * 1024})->Args({20, 4096})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenamesOnly)->Args({400, 160 * 1024})->Args({20, 4096})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
