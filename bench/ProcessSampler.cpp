// The process sampler's parse and top-K stage on `ps` outputs of 1,000 and 10,000 lines, each
// beside a plain split of the same text into lines, measured in the same run.
// Target: parse + top-K at most 3x the split.
#include "MetricsCollectors/ProcessSampler.h"
#include "BenchSupport.h"
#include "SharedModels/Text.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>

namespace {

struct FixedOutput final : joulix::ShellRunning {
    std::string output;
    joulix::ShellResult run(const std::string&, const std::vector<std::string>&) const override {
        return {0, output, ""};
    }
};

// `ps -A -ww -o pid=,ppid=,%cpu=,%mem=,command=` as the tool prints it.
std::string psOutput(int lines) {
    std::mt19937 random(42);
    std::string text;
    char line[256];
    for (int i = 0; i < lines; ++i) {
        const double cpu = static_cast<double>(random() % 1000) / 10.0;
        const double mem = static_cast<double>(random() % 200) / 10.0;
        std::snprintf(line, sizeof line,
                      "%5d %5d %4.1f %4.1f /usr/libexec/service-%d --instance=%d --config "
                      "/etc/service/%d.conf\n",
                      100 + i, 1 + i % 50, cpu, mem, i % 97, i, i % 13);
        text += line;
    }
    return text;
}

joulix::ComponentProfiler& quietProfiler() {
    static joulix::ComponentProfiler profiler(
        joulix::BenchmarkProcessKind::daemon, "bench",
        (std::filesystem::temp_directory_path() / "jlx-bench-profile.jsonl").string(), 0, 24,
        false);
    return profiler;
}

struct Subject {
    std::shared_ptr<FixedOutput> shell = std::make_shared<FixedOutput>();
    joulix::ProcessSampler sampler{shell};
    joulix::RunningProcessMetadataCache cache;

    Subject(int lines) {
        shell->output = psOutput(lines);
        sampler.metadataCache = &cache;
        sampler.componentProfiler = &quietProfiler();
        sampler.metadataResolver = [](int32_t) {
            return std::optional<joulix::RunningProcessMetadata>({"/usr/libexec/service", {}, {}});
        };
    }
    void parseTopK(int64_t k) { benchmark::DoNotOptimize(sampler.sampleTopProcesses(k)); }
    void split() { benchmark::DoNotOptimize(joulix::text::splitLines(shell->output)); }
};

void BM_SplitLines(benchmark::State& state) {
    Subject subject(static_cast<int>(state.range(0)));
    for (auto _ : state)
        subject.split();
}
BENCHMARK(BM_SplitLines)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_ParseTopK(benchmark::State& state) {
    Subject subject(static_cast<int>(state.range(0)));
    for (auto _ : state)
        subject.parseTopK(state.range(1));
}
BENCHMARK(BM_ParseTopK)
    ->Args({1000, 20})
    ->Args({10000, 20})
    ->Args({1000, 1000})
    ->Args({10000, 1000})
    ->Unit(benchmark::kMicrosecond);

void printRatio(int lines, int64_t k, int blocks) {
    Subject subject(lines);
    const auto [split, parse] = joulix::bench::fastestInterleaved(
        [&] { subject.split(); }, [&] { subject.parseTopK(k); }, blocks, 5);
    std::printf("%5d lines, K=%4lld: split %8.1f us, parse+top-K %8.1f us, ratio %.2f (target "
                "<= 3)\n",
                lines, static_cast<long long>(k), split, parse, parse / split);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printRatio(1000, 20, 200);
    printRatio(10000, 20, 40);
    // K=1000, as the input builder asks: the conversion of 1,000 samples (metadata, names)
    // comes on top of parse and top-K.
    printRatio(1000, 1000, 200);
    printRatio(10000, 1000, 40);
    return 0;
}
