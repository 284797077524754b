// The monitor's two jobs as a person runs them, as child processes of this benchmark.
//
// Record: `joulix record --interval 5 --duration 60` on this machine. Its CPU time, its child
// tools' included (wait4 gives both), divided by the wall time; target: at most 0.5 % of one
// core. Baseline, in the same minute: a shell that runs the pass's process listing (`ps`) on the
// same 5-second grid, which is the least any recorder of this machine spends.
//
// Report: `joulix report --window 24h` over 24 hours of 5-second history (17,280 snapshots of
// 50 processes each) beside `joulix history --limit 10000` over the same file: the time of the
// whole page against a plain read of the newest snapshots.
#include "Storage/SQLiteSnapshotStore.h"
#include "bench/BenchSupport.h"
#include "tests/cli/SyntheticHistory.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string joulix = JOULIX_BINARY_DIR "/cli/joulix";

struct ChildCost {
    double wallS = 0;
    double cpuS = 0;
};

using joulix::bench::cpuSecondsOf;
using joulix::bench::startShell;

void RecordAtFiveSecondsForAMinute(benchmark::State& state) {
    const joulix::bench::TemporaryFolder folder("joulix-bench-");
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t record = startShell("JLX_LOG_DISABLED=1 exec " + joulix + " record --db " +
                                        (folder.path / "h.sqlite").string() +
                                        " --interval 5 --duration 60 >/dev/null 2>&1");
        const pid_t baseline =
            startShell("for i in 1 2 3 4 5 6 7 8 9 10 11 12; do /bin/ps -A -ww -o "
                       "pid=,ppid=,%cpu=,%mem=,command= >/dev/null; sleep 5; done");
        const double recordCPU = cpuSecondsOf(record);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double baselineCPU = cpuSecondsOf(baseline);
        state.counters["record_core_%"] = 100 * recordCPU / wall;
        state.counters["ps_only_core_%"] = 100 * baselineCPU / wall;
        state.counters["ratio"] = recordCPU / std::max(baselineCPU, 1e-6);
        std::printf("joulix record: %.3f %% of one core (target <= 0.5 %%); ps alone on the same "
                    "grid: %.3f %%\n",
                    100 * recordCPU / wall, 100 * baselineCPU / wall);
    }
}
BENCHMARK(RecordAtFiveSecondsForAMinute)->Iterations(1)->Unit(benchmark::kSecond);

double wallSecondsOf(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    ::waitpid(startShell(command), &status, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ReportOverADayOfFiveSecondHistory(benchmark::State& state) {
    const joulix::bench::TemporaryFolder folder("joulix-bench-");
    const std::string database = (folder.path / "h.sqlite").string();
    {
        joulix::SQLiteSnapshotStore store(database,
                                          joulix::SQLiteSnapshotStore::Mode::readWriteCreate);
        joulix::testing::storeSyntheticHistory(store, joulix::Date::now(), 17280, 5, 50);
    }
    for (auto _ : state) {
        const double report =
            wallSecondsOf(joulix + " report --window 24h --db " + database + " --out " +
                          (folder.path / "r.html").string() + " >/dev/null");
        const double history = wallSecondsOf(joulix + " history --json --limit 10000 --db " +
                                             database + " >/dev/null");
        state.counters["report_s"] = report;
        state.counters["history_10000_s"] = history;
        state.counters["ratio"] = report / history;
        std::printf("joulix report over 17,280 snapshots of 50 processes: %.2f s; joulix history "
                    "of the newest 10,000: %.2f s; ratio %.2f; page %.0f kB\n",
                    report, history, report / history,
                    static_cast<double>(fs::file_size(folder.path / "r.html")) / 1024);
    }
}
BENCHMARK(ReportOverADayOfFiveSecondHistory)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
