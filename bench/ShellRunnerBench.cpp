// The shell runner's cost per call of /bin/true beside a bare posix_spawn + waitpid of the same
// binary, measured in the same run. Target: ratio at most 1.3.
#include "BenchSupport.h"
#include "MetricsCollectors/ShellRunner.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

void bareSpawn() {
    char path[] = "/bin/true";
    char* argv[] = {path, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) std::abort();
    int status = 0;
    waitpid(pid, &status, 0);
}

void runnerSpawn() {
    static const joulix::DefaultShellRunner runner;
    benchmark::DoNotOptimize(runner.run("/bin/true", {}));
}

void BM_BarePosixSpawn(benchmark::State& state) {
    for (auto _ : state)
        bareSpawn();
}
BENCHMARK(BM_BarePosixSpawn)->Unit(benchmark::kMicrosecond);

void BM_DefaultShellRunner(benchmark::State& state) {
    for (auto _ : state)
        runnerSpawn();
}
BENCHMARK(BM_DefaultShellRunner)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const auto [bare, runner] = joulix::bench::meanInterleaved(bareSpawn, runnerSpawn, 2000);
    std::printf("bare posix_spawn+waitpid: %.1f us/call, DefaultShellRunner.run: %.1f us/call\n",
                bare, runner);
    std::printf("ratio DefaultShellRunner / bare spawn: %.3f (target <= 1.3)\n", runner / bare);
    return 0;
}
