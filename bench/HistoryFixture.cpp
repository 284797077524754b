#include "bench/HistoryFixture.h"

#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace joulix::bench {
namespace {

constexpr const char* applications[] = {"editor",   "browser", "compiler", "player", "mail",
                                        "terminal", "chat",    "indexer",  "photos", "sync"};
constexpr int applicationCount = sizeof applications / sizeof applications[0];
// The battery holds this much when full; its level says how much of it is left.
constexpr double fullBatteryWh = 60;

constexpr const char* insertSnapshot =
    "INSERT INTO snapshots (id, timestamp, total_watts, process_total_w, tracker_total_w,"
    " on_battery_power, battery_level_percent, pm_command_ok, pm_parsed_process_count,"
    " pm_has_package_power, pm_has_system_power, used_estimated_total_power,"
    " screen_model_available, usb_model_available, components_screen_w, components_usb_w,"
    " components_cpu_w, components_gpu_w, components_ane_w, components_ram_w, components_pci_w,"
    " components_confidence, unattributed_w)"
    " VALUES (?, ?, ?, ?, 0, ?, ?, 0, 0, NOT ?5, 0, NOT ?5, 1, 1, 2, 0.5, ?, 0, 0, 0, 0, NULL, ?);";
constexpr const char* insertProcess =
    "INSERT INTO process_samples (snapshot_id, pid, parent_pid, process_name, bundle_id,"
    " display_name, canonical_name, process_group_key, drain_w, energy_share)"
    " VALUES (?, ?, 1, ?, NULL, ?, ?, ?, ?, ?);";
constexpr const char* insertFlag =
    "INSERT INTO process_source_flags (snapshot_id, pid, process_name, source_flag)"
    " VALUES (?, ?, ?, 'cpu-share');";
constexpr const char* insertBattery =
    "INSERT INTO battery_status_samples (snapshot_id, level_percent, is_charging,"
    " external_power_connected, discharge_watts, remaining_wh, cycle_count, design_capacity_mah,"
    " max_capacity_mah) VALUES (?, ?, ?, ?, ?, ?, 212, 4000, 3520);";

struct ProcessText {
    std::string name;
    std::string application;
    std::string groupKey;
};

// Opens a second connection for the bulk write: no journal and no syncing while the file is
// being made (nobody else uses it yet), WAL again at the end as the store keeps it.
class BulkConnection {
  public:
    explicit BulkConnection(const std::string& path) : db_(sqlite::open(path, false, 5000)) {
        sqlite::executeBatch(db_, "PRAGMA journal_mode = OFF;\nPRAGMA synchronous = OFF;\n"
                                  "PRAGMA cache_size = -262144;");
    }
    ~BulkConnection() {
        sqlite::executeIgnoringResult(db_, "PRAGMA journal_mode = WAL;");
        sqlite::close(db_);
    }
    BulkConnection(const BulkConnection&) = delete;
    BulkConnection& operator=(const BulkConnection&) = delete;
    sqlite3* db() const { return db_; }

  private:
    sqlite3* db_;
};

}  // namespace

int64_t HistoryFixtureShape::snapshotCount() const {
    return static_cast<int64_t>(std::llround(days * 86400 / intervalS));
}

void writeHistoryFixture(const std::string& path, const HistoryFixtureShape& shape) {
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);
    // The store makes the file and its schema.
    SQLiteSnapshotStore(path, SQLiteSnapshotStore::Mode::readWriteCreate);

    std::vector<ProcessText> processes;
    for (int p = 0; p < shape.processCount; ++p) {
        const std::string application = applications[p % applicationCount];
        processes.push_back({"/usr/bin/" + application + (p < applicationCount ? "" : "-helper"),
                             application, "exec:/usr/bin/" + application});
    }

    BulkConnection connection(path);
    sqlite3* db = connection.db();
    sqlite::executeBatch(db, "BEGIN;");
    SQLiteStatement snapshot(db, insertSnapshot);
    SQLiteStatement process(db, insertProcess);
    SQLiteStatement flag(db, insertFlag);
    SQLiteStatement battery(db, insertBattery);
    const int64_t count = shape.snapshotCount();
    const double endS = shape.end.timeIntervalSince1970();
    for (int64_t i = 0; i < count; ++i) {
        const int64_t id = i + 1;
        const double at = endS - static_cast<double>(count - 1 - i) * shape.intervalS;
        // Power follows a slow wave; the machine runs on battery for half of each day and the
        // level falls then and rises otherwise, when the total is an estimate (package power
        // plus modelled display and USB).
        const double totalW = 12 + 4 * std::sin(static_cast<double>(i) / 50.0);
        const double dayFraction = std::fmod(at / 86400, 1.0);
        const bool onBattery = dayFraction < 0.5;
        const double levelPercent =
            onBattery ? 100 - 160 * dayFraction : 20 + 160 * (dayFraction - 0.5);
        const double poolW = totalW - 3.5;
        double weightSum = 0;
        for (int p = 0; p < shape.processCount; ++p)
            weightSum += 1 + p % 5;

        snapshot.reset();
        snapshot.bindRowID(1, id);
        snapshot.bindReal(2, at);
        snapshot.bindReal(3, totalW);
        snapshot.bindReal(4, shape.processCount > 0 ? poolW : 0.0);
        snapshot.bindBool(5, onBattery);
        snapshot.bindReal(6, levelPercent);
        snapshot.bindReal(7, poolW);
        snapshot.bindReal(8, shape.processCount > 0 ? 1.0 : poolW + 1);
        snapshot.stepDone();

        for (int p = 0; p < shape.processCount; ++p) {
            const ProcessText& text = processes[static_cast<std::size_t>(p)];
            const double drainW = poolW * (1 + p % 5) / weightSum;
            process.reset();
            process.bindRowID(1, id);
            process.bindInt32(2, 1000 + p, "pid");
            process.bindText(3, text.name);
            process.bindText(4, text.application);
            process.bindText(5, text.application);
            process.bindText(6, text.groupKey);
            process.bindReal(7, drainW);
            process.bindReal(8, drainW / totalW);
            process.stepDone();
            flag.reset();
            flag.bindRowID(1, id);
            flag.bindInt32(2, 1000 + p, "pid");
            flag.bindText(3, text.name);
            flag.stepDone();
        }

        battery.reset();
        battery.bindRowID(1, id);
        battery.bindReal(2, levelPercent);
        battery.bindBool(3, !onBattery);
        battery.bindBool(4, !onBattery);
        battery.bindReal(5, onBattery ? totalW : 0.0);
        battery.bindReal(6, fullBatteryWh * levelPercent / 100);
        battery.stepDone();
    }
    sqlite::executeBatch(db, "COMMIT;");
}

}  // namespace joulix::bench
