// `joulix report --window 24h` over 24 hours of 5-second snapshots of 25 processes (17,280
// snapshots), run as a child: its wall time and peak memory (targets: at most 1.5 s and
// 200 MB), each beside a SELECT COUNT(*) over the same rows (the window's snapshots joined to
// their process rows) timed in the same run.
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"
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
using Clock = std::chrono::steady_clock;

const std::string joulix = JOULIX_BINARY_DIR "/cli/joulix";

struct ChildRun {
    double wallS = 0;
    double peakMB = 0;
};

ChildRun run(const std::string& command) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {std::chrono::duration<double>(Clock::now() - start).count(),
            static_cast<double>(usage.ru_maxrss) / 1024};
}

// The baseline: counting the rows the report reads, in this process.
double countSeconds(const std::string& database, double cutoff) {
    sqlite3* db = joulix::sqlite::open(database, true, 5000);
    const auto start = Clock::now();
    {
        joulix::SQLiteStatement count(db, "SELECT COUNT(*) FROM process_samples\n"
                                          "JOIN snapshots ON snapshots.id = process_samples.snapshot_id\n"
                                          "WHERE snapshots.timestamp >= ?;");
        count.bindReal(1, cutoff);
        count.stepRow();
        benchmark::DoNotOptimize(count.rowID(0));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    joulix::sqlite::close(db);
    return seconds;
}

void ReportOverADayOfTwentyFiveProcesses(benchmark::State& state) {
    const fs::path folder =
        fs::temp_directory_path() / ("joulix-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string database = (folder / "h.sqlite").string();
    const joulix::Date end = joulix::Date::now();
    {
        joulix::SQLiteSnapshotStore store(database,
                                          joulix::SQLiteSnapshotStore::Mode::readWriteCreate);
        joulix::testing::storeSyntheticHistory(store, end, 17280, 5, 25);
    }
    for (auto _ : state) {
        const ChildRun report = run(joulix + " report --window 24h --db " + database + " --out " +
                                    (folder / "r.html").string() + " >/dev/null");
        const double count = countSeconds(database, end.timeIntervalSince1970() - 86400);
        state.counters["report_s"] = report.wallS;
        state.counters["report_MB"] = report.peakMB;
        state.counters["count_s"] = count;
        state.counters["ratio"] = report.wallS / count;
        std::printf("joulix report over 17,280 snapshots of 25 processes: %.2f s (target <= 1.5 s), "
                    "%.0f MB peak (target <= 200 MB); SELECT COUNT(*) over the same rows: %.3f s; "
                    "ratio %.1f; page %.0f kB\n",
                    report.wallS, report.peakMB, count, report.wallS / count,
                    static_cast<double>(fs::file_size(folder / "r.html")) / 1024);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
BENCHMARK(ReportOverADayOfTwentyFiveProcesses)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
