// The cost of making a commit durable: Manifest::commit (which syncs the staged files before it
// writes its journal, and the renames at the end) against the same commit with syncing turned
// off, on the same freshly written files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "staging/manifest.h"
#include "staging/temporaries.h"

using namespace velmara;

namespace {

struct StagedSet {
    std::string dir;
    std::vector<std::pair<std::string, std::string>> moves;  // source, target
};

StagedSet stage(int files, size_t bytes) {
    StagedSet set;
    char pattern[] = "/var/tmp/manifest-bench-XXXXXX";
    set.dir = mkdtemp(pattern);
    // The journal and marker of a router's flash, kept beside the files here.
    stagingFiles() = {set.dir + "/marker", set.dir + "/journal"};
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
    unlink((set.dir + "/marker").c_str());
    rmdir(set.dir.c_str());
}

void BM_Commit(benchmark::State& state) {
    setDurableWrites(state.range(2) != 0);
    for (auto _ : state) {
        state.PauseTiming();
        StagedSet set = stage(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
        Manifest manifest;
        for (const auto& [source, target] : set.moves) manifest.record(target, MoveTemporary, source);
        state.ResumeTiming();
        if (manifest.commit(false) != Manifest::Result::Done) state.SkipWithError("commit failed");
        state.PauseTiming();
        cleanUp(set);
        state.ResumeTiming();
    }
}

}  // namespace

// 400 files of 160 KiB is about the size of a large package; the last argument turns syncing on.
BENCHMARK(BM_Commit)
    ->ArgNames({"files", "bytes", "durable"})
    ->Args({400, 160 * 1024, 1})
    ->Args({400, 160 * 1024, 0})
    ->Args({20, 4096, 1})
    ->Args({20, 4096, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
