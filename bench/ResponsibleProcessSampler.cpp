// One responsible-process sampler pass over this machine's /proc beside one run of /bin/ps
// through the shell runner, measured in the same run. The sampler needs no subprocess, so a pass
// should cost less than the `ps` run it replaces (ratio below 1).
#include "MetricsCollectors/ResponsibleProcessSampler.h"
#include "BenchSupport.h"
#include "MetricsCollectors/ShellRunner.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

struct Subject {
    joulix::RunningProcessMetadataCache cache;
    joulix::ResponsibleProcessSampler sampler;
    joulix::DefaultShellRunner shell;
    double clock = 0;

    Subject() {
        sampler.metadataCache = &cache;
        pass();  // the first pass only primes the counters
    }
    void pass() { benchmark::DoNotOptimize(sampler.sample(20, joulix::Date{clock += 1})); }
    void ps() {
        benchmark::DoNotOptimize(
            shell.run("/bin/ps", {"-A", "-ww", "-o", "pid=,ppid=,%cpu=,%mem=,command="}));
    }
};

void BM_ResponsibleProcessSamplerPass(benchmark::State& state) {
    Subject subject;
    for (auto _ : state)
        subject.pass();
}
BENCHMARK(BM_ResponsibleProcessSamplerPass)->Unit(benchmark::kMicrosecond);

void BM_PSThroughShellRunner(benchmark::State& state) {
    Subject subject;
    for (auto _ : state)
        subject.ps();
}
BENCHMARK(BM_PSThroughShellRunner)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Wall time, so that the `ps` child's time counts.
    Subject subject;
    const auto [pass, ps] =
        joulix::bench::meanInterleaved([&] { subject.pass(); }, [&] { subject.ps(); }, 200);
    std::printf("/proc pass %.1f us, /bin/ps through the shell runner %.1f us, ratio %.2f\n", pass,
                ps, pass / ps);
    return 0;
}
