// The report and the details over long histories, each run as a child process for its wall time
// and peak memory, beside a `SELECT COUNT(*)` by the sqlite3 shell over the same rows (the
// window's snapshots joined to their process rows):
// - `joulix report --window 24h` over 24 h of 5-second snapshots of 25 processes (17,280
//   snapshots; targets: at most 1.5 s and 200 MB);
// - `joulix details --window 30d`, and with `--json`, over 30 days of 5-second snapshots of 30
//   processes (518,400 snapshots; targets: 3 s and 300 MB, 400 MB with --json).
// JLX_BENCH_HISTORY_DAYS shortens the month for a quick look; JLX_BENCH_HISTORY_FILE names a month
// written before by history_fixture_writer (a month takes minutes to write).
#include "Storage/SQLiteSnapshotStore.h"
#include "bench/BenchSupport.h"
#include "bench/HistoryFixture.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string joulix = JOULIX_BINARY_DIR "/cli/joulix";

const joulix::bench::TemporaryFolder& folder() {
    static const joulix::bench::TemporaryFolder made("joulix-report-");
    return made;
}

const std::string& fixture(double days, int processCount) {
    static std::map<std::pair<double, int>, std::string> written;
    auto& path = written[{days, processCount}];
    if (path.empty()) {
        joulix::bench::HistoryFixtureShape shape;
        shape.days = days;
        shape.intervalS = 5;
        shape.processCount = processCount;
        path = (folder().path / ("history-" + std::to_string(processCount) + ".sqlite")).string();
        // Written by a child, so that this process stays small: a child's peak memory as the
        // kernel reports it starts at its parent's peak.
        const pid_t writer = ::fork();
        if (writer == 0) {
            joulix::bench::writeHistoryFixture(path, shape);
            ::_exit(0);
        }
        ::waitpid(writer, nullptr, 0);
        std::printf("fixture: %lld snapshots of %d processes, %.0f MB\n",
                    static_cast<long long>(shape.snapshotCount()), processCount,
                    static_cast<double>(fs::file_size(path)) / 1e6);
    }
    return path;
}

double monthDays() {
    const char* days = std::getenv("JLX_BENCH_HISTORY_DAYS");
    return days ? std::atof(days) : 30;
}

// The month's history: JLX_BENCH_HISTORY_FILE names one written before (by
// history_fixture_writer), which is opened once for writing so that it gains any index the
// current schema step adds; otherwise it is written here.
const std::string& monthFixture() {
    static const std::string given = [] {
        const char* path = std::getenv("JLX_BENCH_HISTORY_FILE");
        if (path == nullptr) return std::string();
        joulix::SQLiteSnapshotStore(path, joulix::SQLiteSnapshotStore::Mode::readWriteCreate);
        return std::string(path);
    }();
    return given.empty() ? fixture(monthDays(), 30) : given;
}

// The window's process rows counted by the sqlite3 shell.
std::vector<std::string> countOf(const std::string& database, double windowS) {
    return {"/usr/bin/sqlite3", database,
            "SELECT COUNT(*) FROM process_samples JOIN snapshots ON snapshots.id = "
            "process_samples.snapshot_id WHERE snapshots.timestamp >= (SELECT MAX(timestamp) "
            "FROM snapshots) - " +
                std::to_string(windowS) + ";"};
}

std::map<std::string, joulix::bench::ChildRun> results;

void measure(benchmark::State& state, const std::string& name,
             const std::vector<std::string>& arguments) {
    for (auto _ : state) {
        const joulix::bench::ChildRun child = joulix::bench::runDiscardingOutput(arguments);
        if (child.status != 0) state.SkipWithError("the program failed");
        results[name] = child;
        state.SetIterationTime(child.wallS);
        state.counters["peak_MB"] = child.peakMB;
    }
}

void Report24h(benchmark::State& state) {
    measure(state, "report",
            {joulix, "report", "--window", "24h", "--db", fixture(1, 25), "--out",
             (folder().path / "report.html").string()});
}
void Count24h(benchmark::State& state) {
    measure(state, "count 24h", countOf(fixture(1, 25), 86400));
}
void Details30d(benchmark::State& state) {
    measure(state, "details", {joulix, "details", "--window", "30d", "--db", monthFixture()});
}
void DetailsJSON30d(benchmark::State& state) {
    measure(state, "details --json",
            {joulix, "details", "--json", "--window", "30d", "--db", monthFixture()});
}
void Count30d(benchmark::State& state) {
    measure(state, "count 30d", countOf(monthFixture(), 30 * 86400.0));
}

BENCHMARK(Report24h)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Count24h)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Details30d)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(DetailsJSON30d)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Count30d)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const auto line = [](const char* name, const char* baseline, const char* target) {
        const joulix::bench::ChildRun& a = results[name];
        const joulix::bench::ChildRun& b = results[baseline];
        std::printf("%s: %.2f s, %.0f MB peak (target %s); SELECT COUNT(*) over the same rows: "
                    "%.2f s, %.0f MB; ratio %.1f\n",
                    name, a.wallS, a.peakMB, target, b.wallS, b.peakMB,
                    a.wallS / std::max(b.wallS, 1e-9));
    };
    line("report", "count 24h", "1.5 s, 200 MB");
    line("details", "count 30d", "3 s, 300 MB");
    line("details --json", "count 30d", "3 s, 400 MB");
    benchmark::Shutdown();
    return 0;
}
