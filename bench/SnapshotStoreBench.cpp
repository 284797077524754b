// The snapshot store, each figure beside a floor measured in the same run:
// - insert(snapshot:) of a 50-process snapshot beside the same rows through statements compiled
//   once, one transaction per snapshot (target: at most 1.5x), and beside the same inserts into a
//   file without the details read's covering index (what that index costs a write);
// - fetchWindowSnapshots with maxRows 1000 over 10,000 and over 100,000 stored snapshots of ten
//   processes each, a light desktop's pass (target: the 100,000 read at most 3x the 10,000 read),
//   and the same over snapshots of three processes (reported: the stride subquery numbers every
//   snapshot of the window, about 0.4 us each, which weighs more beside less child data);
// - the energy summaries over 100,000 snapshots beside a full scan SUM(total_watts).
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"
#include "tests/Storage/StoreTestSupport.h"

#include "bench/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace joulix {

// Reaches the store's private window summary.
class SQLiteSnapshotStoreProbe {
  public:
    static double detailsTotalWh(SQLiteSnapshotStore& store) {
        std::lock_guard hold(store.lock_);
        return store.fetchDetailsWindowSummary(-1e300, 1e300).totalWh;
    }
};

namespace {

using Mode = SQLiteSnapshotStore::Mode;
constexpr double t0 = 1.7e9;
constexpr int processesPerInsert = 50;

struct ScratchDirectory {
    ScratchDirectory() {
        char pattern[] = "/tmp/jlx-store-bench-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path); }
    std::string path;
};

ScratchDirectory& scratch() {
    static ScratchDirectory directory;
    return directory;
}

DrainSnapshot insertSnapshot(int64_t index) {
    DrainSnapshot snapshot =
        testing::publishedSnapshot(t0 + static_cast<double>(index), processesPerInsert, 40);
    snapshot.telemetry = SourceTelemetry{true, 50, true, true, false, true, false};
    return snapshot;
}

void BM_StoreInsert(benchmark::State& state) {
    const std::string path = scratch().path + "/insert-store.sqlite";
    SQLiteSnapshotStore store(path, Mode::readWriteCreate);
    int64_t index = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(store.insert(insertSnapshot(index++)));
}

// The same inserts into a file without the details read's covering index, as an earlier build
// made it: the index's share of the write.
void BM_StoreInsertWithoutDetailsIndex(benchmark::State& state) {
    const std::string path = scratch().path + "/insert-store-without-index.sqlite";
    SQLiteSnapshotStore store(path, Mode::readWriteCreate);
    testing::RawConnection(path).execute("DROP INDEX idx_process_samples_snapshot_group_drain;");
    int64_t index = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(store.insert(insertSnapshot(index++)));
}

// The same rows through statements compiled once, one transaction per snapshot.
void BM_FloorPreparedInsert(benchmark::State& state) {
    const std::string path = scratch().path + "/insert-floor.sqlite";
    SQLiteSnapshotStore(path, Mode::readWriteCreate);
    testing::RawConnection connection(path);
    // The connection configuration of the store.
    connection.execute("PRAGMA busy_timeout = 5000;\nPRAGMA journal_mode = WAL;\n"
                       "PRAGMA synchronous = NORMAL;\nPRAGMA wal_autocheckpoint = 100;");
    sqlite3* db = connection.db();
    SQLiteStatement header(db, "INSERT INTO snapshots (timestamp, total_watts, process_total_w,"
                               " tracker_total_w, on_battery_power, battery_level_percent,"
                               " pm_command_ok, pm_parsed_process_count, pm_has_package_power,"
                               " pm_has_system_power, used_estimated_total_power,"
                               " screen_model_available, usb_model_available,"
                               " components_screen_w, components_usb_w, components_cpu_w,"
                               " components_gpu_w, components_ane_w, components_ram_w,"
                               " components_pci_w, components_confidence, unattributed_w)"
                               " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
                               " ?, ?, ?, ?);");
    SQLiteStatement process(db,
                            "INSERT INTO process_samples VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
    SQLiteStatement flag(db, "INSERT INTO process_source_flags VALUES (?, ?, ?, ?);");
    SQLiteStatement hidden(db, "INSERT INTO hidden_drains VALUES (?, ?, ?, ?);");
    SQLiteStatement battery(db, "INSERT INTO battery_status_samples (snapshot_id, level_percent,"
                                " is_charging, external_power_connected, cycle_count)"
                                " VALUES (?, ?, ?, ?, ?);");
    int64_t index = 0;
    for (auto _ : state) {
        const DrainSnapshot snapshot = insertSnapshot(index++);
        connection.execute("BEGIN IMMEDIATE TRANSACTION;");
        header.reset();
        header.bindDate(1, snapshot.timestamp);
        header.bindReal(2, snapshot.totalDischargeW);
        header.bindReal(3, 25.0);
        header.bindReal(4, 0.0);
        header.bindBool(5, true);
        header.bindReal(6, 80.0);
        for (int i = 7; i <= 13; ++i)
            header.bindBool(i, true);
        for (int i = 14; i <= 20; ++i)
            header.bindReal(i, 1.0);
        header.bindNull(21);
        header.bindReal(22, snapshot.unattributedW);
        header.stepDone();
        const int64_t id = sqlite::lastInsertRowID(db);
        for (const ProcessDrain& p : snapshot.processes) {
            process.reset();
            process.bindRowID(1, id);
            process.bindInt32(2, p.pid, "pid");
            process.bindNull(3);
            process.bindText(4, p.name);
            process.bindNull(5);
            process.bindText(6, *p.displayName);
            process.bindText(7, *p.canonicalName);
            process.bindText(8, *p.processGroupKey);
            process.bindReal(9, p.drainW);
            process.bindReal(10, p.energyShare);
            process.stepDone();
            for (const std::string& f : p.sourceFlags) {
                flag.reset();
                flag.bindRowID(1, id);
                flag.bindInt32(2, p.pid, "pid");
                flag.bindText(3, p.name);
                flag.bindText(4, f);
                flag.stepDone();
            }
        }
        for (const HiddenDrain& h : snapshot.hidden) {
            hidden.reset();
            hidden.bindRowID(1, id);
            hidden.bindText(2, rawValue(h.kind));
            hidden.bindText(3, h.identifier);
            hidden.bindReal(4, h.drainW);
            hidden.stepDone();
        }
        battery.reset();
        battery.bindRowID(1, id);
        battery.bindReal(2, snapshot.batteryStatus->levelPercent);
        battery.bindBool(3, false);
        battery.bindBool(4, false);
        battery.bindInt32(5, snapshot.batteryStatus->cycleCount, "cycle_count");
        battery.stepDone();
        connection.execute("COMMIT;");
    }
}

// A database of `count` snapshots one second apart, `processes` processes (two flags each), one
// hidden drain and a battery row each, filled inside SQLite.
std::string populatedDatabase(int count, int processes = 3) {
    const std::string path = scratch().path + "/window-" + std::to_string(count) + "-" +
                             std::to_string(processes) + ".sqlite";
    if (std::filesystem::exists(path)) return path;
    SQLiteSnapshotStore(path, Mode::readWriteCreate);
    testing::RawConnection connection(path);
    const std::string numbers = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                                " WHERE i < " +
                                std::to_string(count) + ") ";
    const std::string processNumbers =
        ", p(p) AS (SELECT 0 UNION ALL SELECT p + 1 FROM p WHERE p < " +
        std::to_string(processes - 1) + ") ";
    const std::string batch =
        "BEGIN;" + numbers +
        "INSERT INTO snapshots (id, timestamp, total_watts, process_total_w, tracker_total_w,"
        " on_battery_power, battery_level_percent, components_screen_w, components_usb_w,"
        " unattributed_w) SELECT i, 1700000000 + i, 10 + i % 7, 3, 0.5, i % 2, 80, 1, 0.5, 2"
        " FROM n;" +
        numbers + processNumbers +
        "INSERT INTO process_samples SELECT i, 100 + p, 1, 'proc' || p, 'org.example.' || p,"
        " 'Proc ' || p, 'proc' || p, 'group' || p, 1 + p, 0.3 FROM n, p;" +
        numbers + processNumbers +
        "INSERT INTO process_source_flags SELECT i, 100 + p, 'proc' || p, f FROM n, p,"
        " (SELECT 'cpu' AS f UNION ALL SELECT 'powermetrics');" +
        numbers + "INSERT INTO hidden_drains SELECT i, 'docker_container', 'web', 0.4 FROM n;" +
        numbers +
        "INSERT INTO battery_status_samples (snapshot_id, level_percent, is_charging,"
        " external_power_connected) SELECT i, 80, 0, 0 FROM n;"
        "COMMIT;";
    connection.execute(batch.c_str());
    return path;
}

void BM_WindowRead(benchmark::State& state) {
    SQLiteSnapshotStore store(
        populatedDatabase(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))),
        Mode::readOnly);
    for (auto _ : state)
        benchmark::DoNotOptimize(store.fetchWindowSnapshots(1e9, 1000, std::nullopt));
}

void BM_HistoryReadModel(benchmark::State& state) {
    SQLiteSnapshotStore store(populatedDatabase(100000), Mode::readOnly);
    for (auto _ : state)
        benchmark::DoNotOptimize(store.fetchHistoryReadModel(10000));
}

void BM_DetailsWindowSummary(benchmark::State& state) {
    SQLiteSnapshotStore store(populatedDatabase(100000), Mode::readOnly);
    for (auto _ : state)
        benchmark::DoNotOptimize(SQLiteSnapshotStoreProbe::detailsTotalWh(store));
}

void BM_FloorSumScan(benchmark::State& state) {
    testing::RawConnection connection(populatedDatabase(100000));
    for (auto _ : state)
        benchmark::DoNotOptimize(connection.scalar("SELECT SUM(total_watts) FROM snapshots;"));
}

BENCHMARK(BM_StoreInsert)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_StoreInsertWithoutDetailsIndex)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_FloorPreparedInsert)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_WindowRead)
    ->Args({10000, 10})
    ->Args({100000, 10})
    ->Args({10000, 3})
    ->Args({100000, 3})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HistoryReadModel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetailsWindowSummary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorSumScan)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace joulix

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    joulix::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("BM_StoreInsert/min_time:2.000", "BM_FloorPreparedInsert/min_time:2.000",
                        "target <= 1.5");
    reporter.printRatio("BM_StoreInsert/min_time:2.000",
                        "BM_StoreInsertWithoutDetailsIndex/min_time:2.000",
                        "the details index's share of an insert");
    reporter.printRatio("BM_WindowRead/100000/10", "BM_WindowRead/10000/10", "target <= 3");
    reporter.printRatio("BM_WindowRead/100000/3", "BM_WindowRead/10000/3", "reported");
    reporter.printRatio("BM_HistoryReadModel", "BM_FloorSumScan", "reported");
    reporter.printRatio("BM_DetailsWindowSummary", "BM_FloorSumScan", "reported");
    benchmark::Shutdown();
    return 0;
}
