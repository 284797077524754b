// One responsible-process sampler pass over this machine's /proc beside one run of /bin/ps
// through the shell runner, measured in the same run. The sampler needs no subprocess, so a pass
// should cost less than the `ps` run it replaces (ratio below 1).
#include "MetricsCollectors/ResponsibleProcessSampler.h"
#include "MetricsCollectors/ShellRunner.h"

#include <benchmark/benchmark.h>

#include <chrono>
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
    // Interleaved rounds of wall time (the `ps` child's time counts), so that a noisy neighbour
    // weighs on both sides alike.
    using Clock = std::chrono::steady_clock;
    Subject subject;
    Clock::duration pass{}, ps{};
    constexpr int rounds = 200;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        subject.pass();
        const auto middle = Clock::now();
        subject.ps();
        ps += Clock::now() - middle;
        pass += middle - start;
    }
    const auto us = [](Clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() / rounds;
    };
    std::printf("/proc pass %.1f us, /bin/ps through the shell runner %.1f us, ratio %.2f\n",
                us(pass), us(ps), us(pass) / us(ps));
    return 0;
}
