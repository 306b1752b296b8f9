// A console reporter that ends with each measured benchmark's CPU time as a multiple of its
// reference's from the same run, since absolute times drift on shared machines.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Pairs of (measured, reference) benchmark names.
    using Ratios = std::vector<std::pair<std::string, std::string>>;
    explicit RatioReporter(Ratios ratios) : ratios_(std::move(ratios)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations > 0)
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [measured, reference] : ratios_) {
            const auto m = times_.find(measured);
            const auto r = times_.find(reference);
            if (m == times_.end() || r == times_.end() || r->second <= 0) continue;
            std::printf("%-20s = %8.4f x %s\n", measured.c_str(), m->second / r->second,
                        reference.c_str());
        }
    }

private:
    Ratios ratios_;
    std::map<std::string, double> times_;
};

// The main of a benchmark program that reports these ratios.
inline int runWithRatios(int argc, char** argv, RatioReporter::Ratios ratios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(std::move(ratios));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
