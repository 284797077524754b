#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace joulix {

// Reaches the store's private window queries.
class SQLiteSnapshotStoreProbe {
  public:
    using SummaryRow = SQLiteSnapshotStore::DetailsWindowSummaryRow;
    static SummaryRow summary(SQLiteSnapshotStore& store, double cutoff, double anchor) {
        std::lock_guard hold(store.lock_);
        return store.fetchDetailsWindowSummary(cutoff, anchor);
    }
    static size_t windowRowCount(SQLiteSnapshotStore& store, double cutoff, double anchor) {
        std::lock_guard hold(store.lock_);
        return store.fetchWindowSnapshotRows(cutoff, anchor).size();
    }
    static std::vector<std::pair<std::string, double>>
    groupedProcesses(SQLiteSnapshotStore& store, double cutoff, double anchor) {
        std::lock_guard hold(store.lock_);
        std::vector<std::pair<std::string, double>> rows;
        for (const auto& row : store.fetchGroupedProcessWindowRows(cutoff, anchor))
            rows.emplace_back(row.groupKey, row.groupWatts);
        return rows;
    }
};

namespace {

using testing::modeOf;
using testing::publishedProcess;
using testing::publishedSnapshot;
using testing::RawConnection;
using Mode = SQLiteSnapshotStore::Mode;
namespace fs = std::filesystem;

constexpr double t0 = 1'700'000'000;

class SQLiteSnapshotStoreTest : public ::testing::Test {
  protected:
    std::string path() const { return (directory.path() / "db" / "history.sqlite").string(); }
    std::unique_ptr<SQLiteSnapshotStore> open(std::string prefix = "com.joulix") {
        return std::make_unique<SQLiteSnapshotStore>(path(), Mode::readWriteCreate, prefix);
    }
    std::string scalar(const std::string& sql) { return RawConnection(path()).scalar(sql); }
    void execute(const char* sql) { RawConnection(path()).execute(sql); }

    testing::TemporaryDirectory directory;
};

TEST_F(SQLiteSnapshotStoreTest, FreshOpenCreatesTheDirectoryChainTheFileAndVersionFive) {
    const fs::path file = directory.path() / "a" / "b" / "history.sqlite";
    const mode_t previousMask = ::umask(022);
    SQLiteSnapshotStore store(file.string(), Mode::readWriteCreate);
    ::umask(previousMask);
    EXPECT_EQ(modeOf(directory.path() / "a"), 0700u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(store.snapshotSchemaVersion(), 5);
    EXPECT_EQ(RawConnection(file.string()).scalar("PRAGMA journal_mode;"), "wal");
}

TEST_F(SQLiteSnapshotStoreTest, OtherVersionsResetTheSnapshotTablesAndKeepEstimates) {
    for (const auto& [change, said] : {std::pair{"UPDATE schema_metadata SET value = '4';", "4"},
                                       {"UPDATE schema_metadata SET value = 'abc';", "(none)"},
                                       {"DELETE FROM schema_metadata;", "(none)"}}) {
        open()->insert(EstimateTrackingEstimateInput{.estimateSource = "model"});
        open()->insert(publishedSnapshot(t0));
        open()->insert(publishedSnapshot(t0 + 10));
        execute(change);
        const testing::LogCapture log;
        auto store = open();
        EXPECT_TRUE(log.contains(std::string("history schema version ") + said +
                                 " replaced by version 5: 2 snapshots dropped"))
            << change;
        EXPECT_TRUE(store->fetchLatest(10).empty()) << change;
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM process_samples;"), "0");
        EXPECT_FALSE(store->fetchEstimateRows(10).empty());
        EXPECT_EQ(scalar("SELECT value FROM schema_metadata;"), "5");
    }
    // At version 5 nothing is dropped, and a file of an earlier build gains the details index.
    open()->insert(publishedSnapshot(t0));
    execute("DROP INDEX idx_process_samples_snapshot_group_drain;");
    EXPECT_EQ(open()->fetchLatest(10).size(), 1u);
    EXPECT_EQ(open()->fetchEstimateRows(10).size(), 3u);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM sqlite_schema"
                     " WHERE name = 'idx_process_samples_snapshot_group_drain';"),
              "1");
}

TEST_F(SQLiteSnapshotStoreTest, ReadOnlyOpenOfAMissingPathFailsAndCreatesNothing) {
    const auto missing = testing::thrown<SnapshotStoreError>(
        [&] { SQLiteSnapshotStore store(path(), Mode::readOnly); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->kind(), SnapshotStoreError::Kind::sqlite);
    EXPECT_FALSE(fs::exists(fs::path(path()).parent_path()));
    const auto empty = testing::thrown<SnapshotStoreError>(
        [] { SQLiteSnapshotStore store("", Mode::readWriteCreate); });
    ASSERT_TRUE(empty);
    EXPECT_STREQ(empty->what(), "Invalid database path");
}

TEST_F(SQLiteSnapshotStoreTest, FileOfRandomBytesGivesAnErrorNotACrash) {
    fs::create_directories(fs::path(path()).parent_path());
    std::string bytes(8192, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7919 + 13) % 251);
    directory.writeFile("db/history.sqlite", bytes);
    EXPECT_THROW(open(), SnapshotStoreError);
    SQLiteSnapshotStore reader(path(), Mode::readOnly);
    EXPECT_THROW(reader.fetchLatest(5), SnapshotStoreError);
}

TEST_F(SQLiteSnapshotStoreTest, NearDuplicatesKeepTheSnapshotOfBetterQuality) {
    struct Case {
        double gap;
        double processW;  // of the second snapshot; the first has 3 W of 10 W
        SnapshotInsertOutcome outcome;
        size_t stored;
    };
    const Case cases[] = {
        {0.4, 3, SnapshotInsertOutcome::replacedNearDuplicate, 1},
        {0.4, 5, SnapshotInsertOutcome::replacedNearDuplicate, 1},
        {0.4, 0, SnapshotInsertOutcome::droppedNearDuplicate, 1},
        {0.5, 3, SnapshotInsertOutcome::replacedNearDuplicate, 1},
        {0.51, 0, SnapshotInsertOutcome::inserted, 2},
    };
    for (const Case& c : cases) {
        fs::remove_all(fs::path(path()).parent_path());
        auto store = open();
        ASSERT_EQ(store->insert(publishedSnapshot(t0)), SnapshotInsertOutcome::inserted);
        const std::string firstID = scalar("SELECT id FROM snapshots;");
        DrainSnapshot second = publishedSnapshot(t0 + c.gap, 0);
        if (c.processW > 0) second.processes = {publishedProcess(7, "second", c.processW)};
        EXPECT_EQ(store->insert(second), c.outcome) << c.gap << " " << c.processW;
        const auto stored = store->fetchLatest(10);
        ASSERT_EQ(stored.size(), c.stored);
        if (c.outcome == SnapshotInsertOutcome::replacedNearDuplicate) {
            EXPECT_EQ(stored.front(), store->fetchLatest(1).front());
            EXPECT_GT(std::stoll(scalar("SELECT id FROM snapshots;")), std::stoll(firstID));
            EXPECT_EQ(stored.front().processes.front().name, "second");
        }
    }
}

TEST(SnapshotQuality, RanksAttributedPowerThenCoverage) {
    EXPECT_DOUBLE_EQ(snapshotQuality(0.05, 0.04), 0.4);
    EXPECT_DOUBLE_EQ(snapshotQuality(10, 5), 1.5);
    EXPECT_DOUBLE_EQ(snapshotQuality(10, 20), 2);
    EXPECT_DOUBLE_EQ(snapshotQuality(10, -3), 0);
}

TEST_F(SQLiteSnapshotStoreTest, BlankPublishedNamesAndWideIntegersAreRefusedBeforeWriting) {
    using Kind = SnapshotStoreError::Kind;
    const struct {
        void (*spoil)(DrainSnapshot&);
        Kind kind;
        std::string said;
    } cases[] = {
        {[](DrainSnapshot& s) { s.processes[1].canonicalName = "  \n"; },
         Kind::invalidPublishedSnapshot,
         "Missing canonical_name for published process row: worker1"},
        {[](DrainSnapshot& s) { s.processes[2].pid = int64_t{1} << 32; }, Kind::sqlite, "32 bits"},
        {[](DrainSnapshot& s) { s.batteryStatus->cycleCount = -(int64_t{1} << 40); }, Kind::sqlite,
         "32 bits"},
    };
    auto store = open();
    for (const auto& c : cases) {
        DrainSnapshot snapshot = publishedSnapshot(t0);
        c.spoil(snapshot);
        const auto error = testing::thrown<SnapshotStoreError>([&] { store->insert(snapshot); });
        ASSERT_TRUE(error) << c.said;
        EXPECT_EQ(error->kind(), c.kind);
        EXPECT_NE(std::string(error->what()).find(c.said), std::string::npos) << error->what();
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM snapshots;"), "0");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM process_samples;"), "0");
}

TEST_F(SQLiteSnapshotStoreTest, TrackerProcessesAreMatchedInAnyLetterCase) {
    DrainSnapshot snapshot = publishedSnapshot(t0, 0);
    snapshot.processes = {publishedProcess(1, "JoulixAgent", 2), publishedProcess(2, "helper", 3),
                          publishedProcess(3, "joulixd", -4), publishedProcess(4, "other", 5)};
    snapshot.processes[1].bundleID = "ORG.EX'AMPLE.helper";
    const std::pair<const char*, const char*> prefixes[] = {
        {"org.Ex'ample", "5.0"}, {"", "2.0"}, {"nothing", "2.0"}};
    for (const auto& [prefix, trackerW] : prefixes) {
        fs::remove_all(fs::path(path()).parent_path());
        auto store = open(prefix);
        store->insert(snapshot);
        DrainSnapshot later = snapshot;
        later.timestamp = Date::fromTimeIntervalSince1970(t0 + 36);
        store->insert(later);
        EXPECT_EQ(scalar("SELECT tracker_total_w FROM snapshots LIMIT 1;"), trackerW) << prefix;
        EXPECT_EQ(scalar("SELECT process_total_w FROM snapshots LIMIT 1;"), "10.0");
        // The SQL summary agrees: trackerW over 36 s.
        EXPECT_DOUBLE_EQ(store->fetchHistoryReadModel(10).energyUsageSummary.trackerWh,
                         std::stod(trackerW) * 36 / 3600);
    }
}

TEST_F(SQLiteSnapshotStoreTest, RichSnapshotRoundTripsFieldByField) {
    DrainSnapshot snapshot;
    snapshot.timestamp = Date::fromTimeIntervalSince1970(t0 + 0.25);
    snapshot.totalDischargeW = 12.5;
    ProcessDrain big = publishedProcess(812, "worker", 6.25);
    big.parentPID = 1;
    big.bundleID = "org.example.worker";
    big.displayName = "Worker";
    big.energyShare = 0.5;
    big.sourceFlags = {"cpu", "powermetrics.cpu"};
    ProcessDrain small = publishedProcess(-3, "tiny ✓", 0.125);
    snapshot.processes = {big, small};
    snapshot.hidden = {{HiddenDrainKind::launchdService, "backup-agent", 1.5},
                       {HiddenDrainKind::cloudflaredTunnel, "tunnel", 0.5}};
    snapshot.components = {1, 0.5, 4, 3, 0.25, 0, 0, 0.75, 0.125, 0.9};
    snapshot.unattributedW = 2;
    snapshot.telemetry = SourceTelemetry{true, 42, true, false, true, false, true};
    snapshot.powerContext = PowerUsageContext{false, std::nullopt};
    snapshot.batteryStatus = BatteryStatusSample{
        1.5,  10.25, true, false, 90,    7.5,    300,   12000, -1500, 3050,       5000,
        4800, 2400,  4900, 1000,  "SN1", "bat0", false, true,  96,    "96W USB-C"};
    auto store = open();
    store->insert(snapshot);
    const auto stored = store->fetchLatest(1);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.front(), snapshot);
    EXPECT_EQ(store->fetchWindowSnapshots(60, 10, std::nullopt), stored);

    // Telemetry missing one flag reads back absent; an unknown hidden kind is skipped.
    execute("UPDATE snapshots SET usb_model_available = NULL;"
            "UPDATE hidden_drains SET kind = 'vm' WHERE identifier = 'tunnel';");
    const DrainSnapshot altered = store->fetchLatest(1).front();
    EXPECT_EQ(altered.telemetry, std::nullopt);
    ASSERT_EQ(altered.hidden.size(), 1u);
    EXPECT_EQ(altered.hidden.front().identifier, "backup-agent");
}

TEST_F(SQLiteSnapshotStoreTest, SnapshotWithoutOptionalPartsStoresNulls) {
    DrainSnapshot bare = publishedSnapshot(t0);
    bare.telemetry.reset();
    bare.powerContext.reset();
    bare.batteryStatus.reset();
    auto store = open();
    store->insert(bare);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM snapshots WHERE COALESCE(on_battery_power,"
                     " battery_level_percent, pm_command_ok, pm_parsed_process_count,"
                     " pm_has_package_power, pm_has_system_power, used_estimated_total_power,"
                     " screen_model_available, usb_model_available) IS NULL;"),
              "1");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM battery_status_samples;"), "0");
    EXPECT_EQ(store->fetchLatest(1).front(), bare);
}

// A history written when the level was required keeps its rows and then takes absent levels.
TEST_F(SQLiteSnapshotStoreTest, ARequiredBatteryLevelIsRelaxedKeepingTheRows) {
    open()->insert(publishedSnapshot(t0));
    execute("PRAGMA writable_schema = ON;\n"
            "UPDATE sqlite_schema SET sql = replace(sql, 'level_percent REAL,',"
            " 'level_percent REAL NOT NULL,') WHERE name = 'battery_status_samples';");
    const std::string required = "SELECT \"notnull\" FROM pragma_table_info("
                                 "'battery_status_samples') WHERE name = 'level_percent';";
    ASSERT_EQ(scalar(required), "1");

    DrainSnapshot unknownLevel = publishedSnapshot(t0 + 60);
    unknownLevel.powerContext = PowerUsageContext{true, std::nullopt};
    unknownLevel.batteryStatus->levelPercent.reset();
    auto store = open();
    store->insert(unknownLevel);
    EXPECT_EQ(scalar(required), "0");
    const auto latest = store->fetchLatest(2);
    ASSERT_EQ(latest.size(), 2u);
    EXPECT_EQ(latest[0], unknownLevel);
    EXPECT_EQ(latest[1].batteryStatus->levelPercent, 80);
    EXPECT_EQ(latest[1].batteryStatus->cycleCount, 12);
}

TEST_F(SQLiteSnapshotStoreTest, PurgeDeletesOlderSnapshotsWithTheirChildRows) {
    auto store = open();
    for (int i = 0; i < 3; ++i)
        store->insert(publishedSnapshot(t0 + i));
    EXPECT_EQ(store->purgeSnapshots(Date::fromTimeIntervalSince1970(t0 - 10)), 0);
    EXPECT_EQ(store->purgeSnapshots(Date::fromTimeIntervalSince1970(t0 + 1)), 1);
    EXPECT_EQ(store->purgeSnapshots(Date::fromTimeIntervalSince1970(t0 + 10)), 2);
    for (const char* table :
         {"process_samples", "process_source_flags", "hidden_drains", "battery_status_samples"})
        EXPECT_EQ(scalar(std::string("SELECT COUNT(*) FROM ") + table + ";"), "0") << table;
}

TEST_F(SQLiteSnapshotStoreTest, LimitsAreClampedAndEmptyDatabasesReadEmpty) {
    auto store = open();
    EXPECT_TRUE(store->fetchLatest(5).empty());
    EXPECT_EQ(store->fetchHistoryReadModel(5), SnapshotHistoryReadModel{});
    EXPECT_TRUE(store->fetchWindowSnapshots(3600, 10, std::nullopt).empty());
    for (int i = 0; i < 3; ++i)
        store->insert(publishedSnapshot(t0 + i));
    EXPECT_EQ(store->fetchLatest(0).size(), 1u);
    EXPECT_EQ(store->fetchLatest(-4).size(), 1u);
    EXPECT_EQ(store->fetchLatest(1).front().timestamp, Date::fromTimeIntervalSince1970(t0 + 2));
    const auto history = store->fetchHistoryReadModel(2).snapshots;
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history.front().timestamp, Date::fromTimeIntervalSince1970(t0 + 1));
}

TEST_F(SQLiteSnapshotStoreTest, EnergyIsSummedByCappedTrapezoids) {
    auto store = open();
    store->insert(publishedSnapshot(t0, 0, 10));
    store->insert(publishedSnapshot(t0 + 120, 0, 20));
    const auto summary = store->fetchHistoryReadModel(10).energyUsageSummary;
    EXPECT_DOUBLE_EQ(summary.totalWh, 0.25);
    EXPECT_DOUBLE_EQ(summary.batteryWh, 0.25);
    EXPECT_DOUBLE_EQ(summary.trackedHours, 120.0 / 3600);
    const auto details = SQLiteSnapshotStoreProbe::summary(*store, t0, t0 + 120);
    EXPECT_DOUBLE_EQ(details.totalWh, 0.25);
    EXPECT_DOUBLE_EQ(details.trackedHours, 120.0 / 3600);
    EXPECT_DOUBLE_EQ(details.sampleHours, 60.0 / 3600);
    EXPECT_DOUBLE_EQ(details.screenWh, 60.0 / 3600);
    EXPECT_DOUBLE_EQ(details.processWh, 0);
    EXPECT_EQ(SQLiteSnapshotStoreProbe::windowRowCount(*store, t0 + 1, t0 + 120), 1u);
}

TEST_F(SQLiteSnapshotStoreTest, BatteryEnergyCountsOnlyIntervalsOnBattery) {
    auto store = open();
    const std::optional<bool> flags[] = {false, true, std::nullopt, false};
    for (int i = 0; i < 4; ++i) {
        DrainSnapshot snapshot = publishedSnapshot(t0 + 60 * i, 0, 10);
        snapshot.powerContext =
            flags[i] ? std::optional(PowerUsageContext{*flags[i]}) : std::nullopt;
        store->insert(snapshot);
    }
    const auto summary = store->fetchHistoryReadModel(10).energyUsageSummary;
    EXPECT_DOUBLE_EQ(summary.totalWh, 0.5);
    EXPECT_DOUBLE_EQ(summary.batteryWh, 1.0 / 3);
    EXPECT_DOUBLE_EQ(SQLiteSnapshotStoreProbe::summary(*store, t0, t0 + 180).batteryWh, 1.0 / 3);
}

// The details read sums the window's energies as it reads the snapshots; it must agree with the
// window summary query on everything that query handles: equal timestamps, gaps over 60 s,
// negative values, an absent power flag, and ids out of time order (a clock set back).
TEST_F(SQLiteSnapshotStoreTest, TheDetailsReadSumsTheWindowAsTheSummaryQueryDoes) {
    auto store = open();
    const double steps[] = {5, 3, 90, 5, 7};
    std::vector<DrainSnapshot> history;
    double at = t0;
    for (int i = 0; i < 40; ++i) {
        DrainSnapshot snapshot = publishedSnapshot(at, i % 3, 8 + i % 5);
        if (i % 4 == 0) snapshot.processes.push_back(publishedProcess(77, "joulix-agent", 0.7));
        snapshot.powerContext =
            i % 3 == 2 ? std::nullopt : std::optional(PowerUsageContext{i % 3 == 0, 50});
        snapshot.components = {.screenW = 1.0 + i % 2,
                               .usbW = 0.25,
                               .cpuW = 3.0 + i % 4,
                               .gpuW = i % 5 == 0 ? 1.5 : 0,
                               .ramW = 0.5,
                               .pciW = 0.125};
        snapshot.unattributedW = i % 6 == 0 ? -2.0 : 1.0;
        history.push_back(snapshot);
        at += steps[i % 5];
    }
    for (std::size_t i = 0; i < history.size(); ++i)  // the later half stored first
        store->insert(history[(i + 20) % history.size()]);
    execute("UPDATE snapshots SET timestamp = timestamp - 3 WHERE timestamp = "
            "(SELECT timestamp FROM snapshots ORDER BY timestamp LIMIT 1 OFFSET 11);");

    const double anchor = history.back().timestamp.timeIntervalSince1970();
    for (const double windowS : {anchor - t0, 200.0}) {
        SCOPED_TRACE(windowS);
        const auto sql = SQLiteSnapshotStoreProbe::summary(*store, anchor - windowS, anchor);
        const auto read =
            store->fetchDetailsReadModel(windowS, 6, Date::fromTimeIntervalSince1970(anchor), {});
        ASSERT_GT(sql.sampleHours, 0);
        EXPECT_EQ(read.snapshotCount, static_cast<int64_t>(SQLiteSnapshotStoreProbe::windowRowCount(
                                          *store, anchor - windowS, anchor)));
        const auto& e = read.energySummary;
        const auto& a = read.componentAverages;
        const double h = sql.sampleHours;
        for (const auto& [readValue, sqlValue] : {std::pair{e.totalWh, sql.totalWh},
                                                  {e.batteryWh, sql.batteryWh},
                                                  {e.trackerWh, sql.trackerWh},
                                                  {e.trackedHours, sql.trackedHours},
                                                  {a.totalW, sql.totalWh / h},
                                                  {a.processW, sql.processWh / h},
                                                  {a.screenW, sql.screenWh / h},
                                                  {a.usbW, sql.usbWh / h},
                                                  {a.unattributedW, sql.unattributedWh / h},
                                                  {a.cpuW, sql.cpuWh / h},
                                                  {a.gpuW, sql.gpuWh / h},
                                                  {a.aneW, sql.aneWh / h},
                                                  {a.ramW, sql.ramWh / h},
                                                  {a.pciW, sql.pciWh / h}})
            EXPECT_NEAR(readValue, sqlValue, 1e-12);
    }
}

TEST_F(SQLiteSnapshotStoreTest, WindowReadKeepsEveryStrideThSnapshot) {
    auto store = open();
    for (int i = 0; i < 250; ++i)
        store->insert(publishedSnapshot(t0 + i, 1));
    const std::tuple<double, double, size_t> cases[] = {
        {149, t0 + 249, 150},  // 150 rows, stride 1
        {1e6, t0 + 249, 125},  // 250 rows, stride 2
        {0, t0 + 249, 2},      // a one-second window
    };
    for (const auto& [windowSeconds, anchor, expected] : cases) {
        const auto rows = store->fetchWindowSnapshots(windowSeconds, 100,
                                                      Date::fromTimeIntervalSince1970(anchor));
        ASSERT_EQ(rows.size(), expected) << windowSeconds;
        EXPECT_EQ(rows.back().timestamp.timeIntervalSince1970() -
                      rows.front().timestamp.timeIntervalSince1970(),
                  expected == 125 ? 248 : static_cast<double>(expected - 1));
        EXPECT_EQ(rows.front().processes.front().sourceFlags,
                  (std::vector<std::string>{"cpu", "powermetrics"}));
        EXPECT_TRUE(rows.front().batteryStatus.has_value());
    }
    const auto grouped = SQLiteSnapshotStoreProbe::groupedProcesses(*store, t0, t0 + 1);
    EXPECT_EQ(grouped, (std::vector<std::pair<std::string, double>>{{"group.worker0", 0.5},
                                                                    {"group.worker0", 0.5}}));
}

TEST_F(SQLiteSnapshotStoreTest, EstimatesAreLoggedAndEvaluated) {
    auto store = open();
    const auto first = store->insert(EstimateTrackingEstimateInput{
        .estimatedAt = Date{100}, .horizonSeconds = 0, .estimateSource = "model"});
    const auto second =
        store->insert(EstimateTrackingEstimateInput{.estimatedAt = Date{200},
                                                    .horizonSeconds = 900,
                                                    .estimateSource = "trend",
                                                    .onBatteryPower = true,
                                                    .startingBatteryLevelPercent = 55,
                                                    .estimatedPowerW = 8.5,
                                                    .estimatedDrainRatePctPerHour = 12.5,
                                                    .estimatedTimeRemainingMinutes = 240});
    auto rows = store->fetchEstimateRows(10);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].id, second);
    EXPECT_EQ(rows[1].horizonSeconds, 1);
    EXPECT_EQ(rows[1].estimatedDrainRatePctPerHour, std::nullopt);
    EXPECT_EQ(rows[1].estimatedTimeRemainingMinutes, std::nullopt);
    EXPECT_EQ(rows[0].estimatedTimeRemainingMinutes, 240);
    EXPECT_EQ(store->fetchPendingEstimates(0).size(), 1u);
    EXPECT_EQ(store->fetchPendingEstimates(0).front().id, first);

    store->applyEvaluation(first, {EstimateTrackingStatus::skippedInsufficientData, Date{300}});
    store->applyEvaluation(second, {EstimateTrackingStatus::evaluated, Date{1100}, 900, 50, 9, 20,
                                    150, 0.5, 7.5, -90});
    store->applyEvaluation(999, {EstimateTrackingStatus::evaluated, Date{1}});
    EXPECT_EQ(scalar("SELECT evaluation_status || COALESCE(sample_duration_seconds,"
                     " actual_battery_percent, actual_avg_power_w, actual_drain_rate_pct_hr,"
                     " actual_time_left_min, power_error_w, drain_rate_error_pct_hr,"
                     " time_left_error_min, '-') FROM estimate_tracking WHERE id = " +
                     std::to_string(first) + ";"),
              "skipped_insufficient_data-");
    rows = store->fetchEstimateRows(10);
    EXPECT_TRUE(rows[0].isEvaluated());
    EXPECT_EQ(rows[0].evaluatedAt, Date{1100});
    EXPECT_EQ(rows[0].timeRemainingErrorMinutes, -90);
    EXPECT_TRUE(store->fetchPendingEstimates(10).empty());

    execute("UPDATE estimate_tracking SET evaluation_status = 'unknown';");
    EXPECT_EQ(store->fetchPendingEstimates(10).size(), 0u);
    EXPECT_EQ(store->fetchEstimateRows(1).front().status, EstimateTrackingStatus::pending);
}

}  // namespace
}  // namespace joulix
