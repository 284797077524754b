// The powermetrics parse of a 500-task text beside a plain split of the same text into lines,
// measured in the same run. Target: parse at most 3x the split.
#include "MetricsCollectors/PowermetricsParser.h"
#include "BenchSupport.h"
#include "SharedModels/Text.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

// One sample of the tasks sampler: a column-aligned table of 500 indented tasks under
// coalition rows, the summary rows, and the package power lines.
std::string powermetricsText(int tasks) {
    std::string text = "*** Sampled system activity (Sat Dec  5 19:40:01 2026 +0000) (1003.84ms "
                       "elapsed) ***\n\n*** Running tasks ***\n\n"
                       "Name                               ID     CPU ms/s  User%  Deadlines (<2 "
                       "ms, 2-5 ms)  Wakeups (Intr, Pkg idle)  GPU ms/s  Energy Impact\n";
    char line[256];
    for (int i = 0; i < tasks; ++i) {
        if (i % 10 == 0) {
            std::snprintf(line, sizeof line, "%-35s%-7d%-10.2f%-34s%-8.2f%-18.2f%-10.2f%.2f\n",
                          ("com.example.coalition" + std::to_string(i / 10)).c_str(), 1000 + i,
                          12.5, "", 3.2, 1.1, 0.0, 20.5);
            text += line;
        }
        std::snprintf(line, sizeof line,
                      "  %-33s%-7d%-10.2f%-7.2f%-8.2f%-19.2f%-8.2f%-18.2f%-10.2f%.2f\n",
                      ("task-" + std::to_string(i)).c_str(), 2000 + i, (i % 97) * 1.25, 55.5, 0.0,
                      0.0, 12.3, 1.2, (i % 5) * 0.75, 8.5);
        text += line;
    }
    text += "DEAD_TASKS                         -1     20.00     52.00  0.00    0.00               "
            "1.20    0.00              0.00      4.00\n"
            "ALL_TASKS                          -2     420.00    48.31  12.00   0.40               "
            "161.30  42.22             200.00    597.05\n\n"
            "**** Processor usage ****\n\nCPU Power: 1200 mW\nGPU Power: 400 mW\nANE Power: 0 mW\n"
            "Combined Power (CPU + GPU + ANE): 1600 mW\n";
    return text;
}

const std::string& sample() {
    static const std::string text = powermetricsText(500);
    return text;
}

void split() {
    benchmark::DoNotOptimize(joulix::text::splitLines(sample()));
}
void parse() {
    benchmark::DoNotOptimize(joulix::PowermetricsParser().parse(sample()));
}

void BM_SplitLines(benchmark::State& state) {
    for (auto _ : state)
        split();
}
BENCHMARK(BM_SplitLines)->Unit(benchmark::kMicrosecond);

void BM_PowermetricsParse(benchmark::State& state) {
    for (auto _ : state)
        parse();
}
BENCHMARK(BM_PowermetricsParse)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const auto [splitUs, parseUs] = joulix::bench::fastestInterleaved(split, parse, 200, 5);
    std::printf("500 tasks (%zu bytes): split %.1f us, parse %.1f us, ratio %.2f (target <= 3)\n",
                sample().size(), splitUs, parseUs, parseUs / splitUs);
    return 0;
}
