#pragma once
// A console reporter that keeps each benchmark's CPU time per iteration (steadier than wall time
// on a shared machine), so that a program can print ratios of its figures at the end.
#include <benchmark/benchmark.h>

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
};

}  // namespace joulix::bench
