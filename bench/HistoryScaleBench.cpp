// `joulix history` over a month of history: 30 days of 5-second snapshots of 30 processes
// (518,400 snapshots), as a child process, its wall time and peak memory beside a plain
// `SELECT COUNT(*) FROM snapshots` by the sqlite3 shell over the same file (target: history under
// 1 s and 50 MB). The fixture takes a few minutes to write; JLX_BENCH_HISTORY_DAYS makes it
// shorter for a quick look, and JLX_BENCH_HISTORY_FILE names one written before (kept as it is).
#include "bench/BenchSupport.h"
#include "bench/HistoryFixture.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string joulix = JOULIX_BINARY_DIR "/cli/joulix";

const std::string& fixture() {
    static const joulix::bench::TemporaryFolder folder("joulix-scale-");
    static const std::string path = [] {
        if (const char* given = std::getenv("JLX_BENCH_HISTORY_FILE")) return std::string(given);
        joulix::bench::HistoryFixtureShape shape;
        shape.days = 30;
        if (const char* days = std::getenv("JLX_BENCH_HISTORY_DAYS")) shape.days = std::atof(days);
        shape.intervalS = 5;
        shape.processCount = 30;
        const std::string file = (folder.path / "battery_history.sqlite").string();
        const auto start = std::chrono::steady_clock::now();
        joulix::bench::writeHistoryFixture(file, shape);
        std::printf(
            "fixture: %lld snapshots of %d processes, %.0f MB, written in %.1f s\n",
            static_cast<long long>(shape.snapshotCount()), shape.processCount,
            static_cast<double>(fs::file_size(file)) / 1e6,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return file;
    }();
    return path;
}

double historyS = 0;
double historyMB = 0;
double countS = 0;
double countMB = 0;

void measure(benchmark::State& state, const std::vector<std::string>& arguments, double& seconds,
             double& megabytes) {
    for (auto _ : state) {
        const joulix::bench::ChildRun child = joulix::bench::runDiscardingOutput(arguments);
        if (child.status != 0) state.SkipWithError("the program failed");
        seconds = child.wallS;
        megabytes = child.peakMB;
        state.SetIterationTime(child.wallS);
        state.counters["peak_MB"] = child.peakMB;
    }
}

void JoulixHistory(benchmark::State& state) {
    measure(state, {joulix, "history", "--db", fixture()}, historyS, historyMB);
}

void SQLiteCount(benchmark::State& state) {
    measure(state, {"/usr/bin/sqlite3", fixture(), "SELECT COUNT(*) FROM snapshots;"}, countS,
            countMB);
}

BENCHMARK(JoulixHistory)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(SQLiteCount)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("JLX_LOG_DISABLED", "1", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("joulix history: %.3f s, %.1f MB peak (target < 1 s, < 50 MB); "
                "SELECT COUNT(*): %.3f s, %.1f MB; ratio %.2f\n",
                historyS, historyMB, countS, countMB, historyS / std::max(countS, 1e-9));
    benchmark::Shutdown();
    return 0;
}
