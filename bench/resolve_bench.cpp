// Selection and scheduled actions are quadratic in the number of packages; these measure a
// large router: 300 candidates, 1000 installed packages with dependencies and conflicts.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>

#include "resolve/package_operations.h"
#include "resolve/resolution.h"
#include "staging/manifest.h"

using namespace velmara;

namespace {

PackageVersion version(unsigned n) { return makeVersion(1 + n % 7, n % 50, 'f', 0); }

void fill(Installer& installer, int count, bool conflicting = false) {
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<InstalledPackage>("pkg" + std::to_string(i));
        p->version = version(i);
        p->architecture = "i386";
        // Each package needs two earlier ones and conflicts with a name nobody has.
        if (i > 1) {
            p->depends.push_back({"pkg" + std::to_string(i / 2), 0, 0, 0});
            p->depends.push_back({"pkg" + std::to_string(i - 1), 0, 0, 0});
        }
        p->conflicts.push_back({"absent" + std::to_string(i), 0, 0, 0});
        // Providers of one service at equal priority do not push each other out; with
        // differing priorities they do, and the conflict step sets off a long cascade.
        p->provides.push_back({"service" + std::to_string(i % 10), 0, 0, conflicting ? i % 3 : 0});
        installer.packages.push_back(std::move(p));
    }
}

void BM_SelectCandidates(benchmark::State& state) {
    Installer installer;
    std::ostringstream sink;
    installer.console = &sink;
    fill(installer, 1000);
    std::vector<std::unique_ptr<PackageRecord>> files;
    for (int i = 0; i < state.range(0); ++i) {
        auto c = std::make_unique<PackageRecord>("pkg" + std::to_string(i * 3 % 1000));
        c->version = version(i + 1);
        c->depends.push_back({"pkg" + std::to_string(i / 2), 0, 0, 0});
        files.push_back(std::move(c));
    }
    for (auto _ : state) {
        std::vector<PackageRecord*> list;
        for (auto& f : files) list.push_back(f.get());
        selectCandidates(installer, list, kNoFloor, true);
        benchmark::DoNotOptimize(list.data());
    }
}

void BM_ApplyScheduledActions(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Installer installer;
        std::ostringstream sink;
        installer.console = &sink;
        fill(installer, static_cast<int>(state.range(0)), state.range(1) != 0);
        Manifest manifest;
        state.ResumeTiming();
        applyScheduledActions(installer, manifest, 1);
        benchmark::DoNotOptimize(manifest.size());
    }
}

void BM_CheckCandidate(benchmark::State& state) {
    Installer installer;
    std::ostringstream sink;
    installer.console = &sink;
    installer.arch = "i386";
    fill(installer, 1000);
    PackageRecord candidate("pkg999");
    candidate.version = makeVersion(9, 0, 'f', 0);
    candidate.architecture = "i386";
    candidate.depends = installer.packages[999]->depends;
    for (auto _ : state) benchmark::DoNotOptimize(checkCandidate(installer, candidate, 0));
}

}  // namespace

BENCHMARK(BM_SelectCandidates)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyScheduledActions)->Args({1000, 0})->Args({1000, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckCandidate)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
