#pragma once
// A console reporter that keeps each benchmark's CPU time per iteration (steadier than wall time
// on a shared machine) and prints ratios of those figures at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace joulix::bench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;

    // "ours / baseline = ratio (note)", when both ran.
    void printRatio(const std::string& ours, const std::string& baseline, const char* note) const {
        const auto first = times.find(ours);
        const auto second = times.find(baseline);
        if (first == times.end() || second == times.end()) return;
        std::printf("%s / %s = %.3f (%s)\n", ours.c_str(), baseline.c_str(),
                    first->second / second->second, note);
    }
};

}  // namespace joulix::bench
