#pragma once
// The SQLite history of snapshots, shared by every user of the machine: one connection per store,
// the schema (version "5"), the write path with near-duplicate handling, reads with energy totals
// computed inside SQLite, a down-sampled window read, and the estimate log.
//
// Every public operation holds the store's one lock for its whole run; the private steps run
// under the caller's hold. Several processes may use one file at once (WAL, busy timeout 5 s).
// Failures throw SnapshotStoreError (or, when creating the directory, a filesystem_error).
#include "SharedModels/AppConfiguration.h"
#include "SharedModels/Date.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/Error.h"
#include "SharedModels/Presentation/DetailsRecords.h"
#include "SharedModels/SnapshotMeasures.h"
#include "Storage/EstimateTracking.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace joulix {

class SQLiteStatement;

class SnapshotStoreError : public Error {
  public:
    enum class Kind { sqlite, invalidPublishedSnapshot, invalidPath };
    // The connection's message, "Unknown SQLite error" or "Failed to open SQLite database.".
    static SnapshotStoreError sqlite(const std::string& message);
    // "Missing <column> for published process row: <name>".
    static SnapshotStoreError invalidPublishedSnapshot(const std::string& message);
    // "Invalid database path".
    static SnapshotStoreError invalidPath();
    Kind kind() const { return kind_; }

  private:
    SnapshotStoreError(Kind kind, const std::string& description)
        : Error(description), kind_(kind) {}
    Kind kind_;
};

// A history file this build must not open: reached through a symbolic link, not a regular
// file, read-only for a writer, or written by a newer version. The message names the path or the
// version, and why.
class SnapshotStoreFileError : public Error {
  public:
    using Error::Error;
};

enum class SnapshotInsertOutcome { inserted, replacedNearDuplicate, droppedNearDuplicate };

class SQLiteSnapshotStore {
  public:
    enum class Mode { readOnly, readWriteCreate };

    static constexpr int schemaVersion = 5;
    static constexpr int busyTimeoutMs = 5000;

    // Opens the database at `path`; in readWriteCreate mode creates the missing folders and the
    // file (under the shared root folders 1777 and the file 0666, elsewhere 0700 and 0600) and
    // brings the schema to version 5. A link at the file or its folder, a file that is not
    // regular, a writer's file it cannot write and a newer schema version are refused with
    // SnapshotStoreFileError. Tracker processes are recognised by `bundleIdentifierPrefix`
    // beside the fixed words.
    SQLiteSnapshotStore(
        const std::string& path, Mode mode,
        std::string bundleIdentifierPrefix = AppConfiguration::bundleIdentifierPrefix());
    ~SQLiteSnapshotStore();
    SQLiteSnapshotStore(const SQLiteSnapshotStore&) = delete;
    SQLiteSnapshotStore& operator=(const SQLiteSnapshotStore&) = delete;

    // Widens the shared database's directory to 1777 and the database and its "-wal" and "-shm"
    // files (those that exist) to 0666, when the path lies under sharedRoot() + "/". Never
    // follows a symbolic link; every failure is ignored.
    static void ensureSharedSnapshotSidecarPermissions(const std::string& databasePath);

    const std::string& path() const { return path_; }

    // One read transaction: every read between beginRead() and endRead() sees the database as it
    // was at beginRead(), whatever other connections write (or purge and compact) meanwhile.
    void beginRead();
    void endRead();
    // The stored schema version; absent when there is no row or its text is not a number.
    std::optional<int64_t> snapshotSchemaVersion();

    // Write path.
    SnapshotInsertOutcome insert(const DrainSnapshot& snapshot);
    // Deletes every snapshot strictly older than the cutoff; returns how many went.
    int64_t purgeSnapshots(Date olderThan);

    // Read path. Limits are clamped to 1 … 10000.
    std::vector<DrainSnapshot> fetchLatest(int64_t limit);
    SnapshotHistoryReadModel fetchHistoryReadModel(int64_t limit);
    // The snapshots within max(windowSeconds, 1) before the anchor (default: the newest stored
    // snapshot, else now), every stride-th kept so that about maxRows remain, oldest first.
    std::vector<DrainSnapshot> fetchWindowSnapshots(double windowSeconds, int64_t maxRows,
                                                    std::optional<Date> anchorTimestamp);

    // The details of the window of max(windowSeconds, 1) before the anchor (default: the newest
    // stored snapshot, else the fallback's time), computed from SQL aggregates; only the newest
    // snapshot of the window is read in full. At most maxAppSeries application series. An empty
    // window gives the empty output around the fallback snapshot.
    DetailsPipelineOutput fetchDetailsReadModel(double windowSeconds, int64_t maxAppSeries,
                                                std::optional<Date> anchorTimestamp,
                                                const DrainSnapshot& fallbackSnapshot);

    // Estimate tracking.
    int64_t insert(const EstimateTrackingEstimateInput& estimate);
    void applyEvaluation(int64_t recordID, const EstimateTrackingEvaluationInput& evaluation);
    std::vector<EstimateTrackingRow> fetchEstimateRows(int64_t limit);
    std::vector<EstimateTrackingRow> fetchPendingEstimates(int64_t limit);

  private:
    // Tests, benchmarks and the fuzz target reach the private steps through it.
    friend class SQLiteSnapshotStoreProbe;

    struct LatestSnapshotSummaryRow {
        int64_t id = 0;
        double timestamp = 0;
        double totalWatts = 0;
        double processTotalWatts = 0;
    };
    struct SnapshotHeaderRow {
        int64_t id = 0;
        double timestamp = 0;
        double totalWatts = 0;
        double processTotalWatts = 0;
        double trackerTotalWatts = 0;
        std::optional<bool> onBatteryPower;
        std::optional<double> batteryLevelPercent;
        std::optional<SourceTelemetry> telemetry;
        double screenWatts = 0;
        double usbWatts = 0;
        double cpuWatts = 0;
        double gpuWatts = 0;
        double aneWatts = 0;
        double ramWatts = 0;
        double pciWatts = 0;
        std::optional<double> componentsConfidence;
        double unattributedWatts = 0;
    };
    enum class SnapshotFetchOrder { newestFirst, oldestFirst };
    using ProcessMap = std::map<int64_t, std::vector<ProcessDrain>>;
    using HiddenMap = std::map<int64_t, std::vector<HiddenDrain>>;
    using BatteryMap = std::map<int64_t, BatteryStatusSample>;
    using SourceFlagMap = std::map<std::string, std::vector<std::string>>;

    // The window rows from which the details read model is built; times are seconds since 1970.
    struct WindowSnapshotRow {
        int64_t id = 0;
        double timestamp = 0;
        double totalWatts = 0;
        double processTotalWatts = 0;
        double trackerTotalWatts = 0;
        std::optional<bool> onBatteryPower;
        std::optional<double> batteryLevelPercent;
        double screenWatts = 0;
        double usbWatts = 0;
        double unattributedWatts = 0;
    };
    struct GroupedProcessWindowRow {
        double timestamp = 0;
        std::string groupKey;
        std::string canonicalName;
        double groupWatts = 0;
        int64_t snapshotID = 0;  // tells apart snapshots that share a timestamp
    };
    struct GroupedHiddenWindowRow {
        double timestamp = 0;
        std::string hiddenID;
        HiddenDrainKind kind = HiddenDrainKind::dockerContainer;
        std::string identifier;
        double drainWatts = 0;
        int64_t snapshotID = 0;
    };
    struct DetailsWindowSummaryRow {
        double totalWh = 0;
        double batteryWh = 0;
        double trackerWh = 0;
        double trackedHours = 0;
        double sampleHours = 0;
        double processWh = 0;
        double screenWh = 0;
        double usbWh = 0;
        double cpuWh = 0;
        double gpuWh = 0;
        double aneWh = 0;
        double ramWh = 0;
        double pciWh = 0;
        double unattributedWh = 0;
    };

    // Every private step runs under the caller's hold of `lock_`.
    std::optional<LatestSnapshotSummaryRow> latestSnapshotSummaryRow();
    std::optional<DrainSnapshot> fetchSnapshot(int64_t id);
    DetailsWindowSummaryRow fetchDetailsWindowSummary(double cutoffTimestamp,
                                                      double anchorTimestamp);
    std::vector<WindowSnapshotRow> fetchWindowSnapshotRows(double cutoffTimestamp,
                                                           double anchorTimestamp);
    std::vector<GroupedProcessWindowRow> fetchGroupedProcessWindowRows(double cutoffTimestamp,
                                                                       double anchorTimestamp);
    std::vector<GroupedHiddenWindowRow> fetchGroupedHiddenWindowRows(double cutoffTimestamp,
                                                                     double anchorTimestamp);

    // Details read model builders (SQLiteSnapshotStoreDetails.cpp).
    using WhByKey = std::map<std::string, double>;
    // Per key, its watts at the window timestamps (by index) where it has a row, in time order.
    using SamplesByKey =
        std::unordered_map<std::string, std::vector<std::pair<std::size_t, double>>>;
    struct GroupedProcessData {
        std::vector<ProcessGroup> groups;
        WhByKey whByKey;
        std::map<std::string, std::string> nameByKey;
        SamplesByKey samplesByKey;
    };
    struct HiddenData {
        std::vector<HiddenDrain> hidden;
        WhByKey whByID;
    };
    struct AppSeriesReadModel {
        std::vector<ChartSeries> power;
        std::vector<ChartSeries> energy;
    };
    // The window's snapshots in time order: their timestamps, and each one's index by id (two
    // snapshots may share a timestamp and stay two samples).
    struct WindowIndex {
        std::vector<double> timestamps;
        std::unordered_map<int64_t, std::size_t> indexByID;
    };
    static DetailsPipelineOutput emptyDetailsReadModel(const DrainSnapshot& fallbackSnapshot);
    template <class Row, class KeyOf, class WattsOf>
    static SamplesByKey groupedSamples(const WindowIndex& window, const std::vector<Row>& rows,
                                       KeyOf keyOf, WattsOf wattsOf);
    // Trapezoids over every interval of the window (gaps capped at 60 s, negative means counted
    // 0), a key's watts counting 0 at a snapshot where it has no row.
    static WhByKey integrateGroupedWatts(const WindowIndex& window, const SamplesByKey& samples);
    static std::map<std::string, std::string>
    latestCanonicalNameLookup(const DrainSnapshot& latestSnapshot);
    static std::optional<ProcessDrain> groupedRepresentative(const DrainSnapshot& latestSnapshot,
                                                             const std::string& groupKey);
    // The window's process rows folded as they are read, one pass and no row kept: per group key,
    // its summed watts at each window snapshot where it has rows (the grouped window rows' sums)
    // and its name in its newest such snapshot (the greatest `canonical_name` there).
    struct FoldedProcessSamples {
        SamplesByKey samplesByKey;
        std::map<std::string, std::string> nameByKey;
    };
    FoldedProcessSamples fetchFoldedProcessSamples(const WindowIndex& window, int64_t firstID,
                                                   int64_t lastID);
    static GroupedProcessData buildGroupedProcessData(const DrainSnapshot& latestSnapshot,
                                                      const WindowIndex& window,
                                                      FoldedProcessSamples folded);
    static HiddenData buildHiddenData(const DrainSnapshot& latestSnapshot,
                                      const WindowIndex& window,
                                      const std::vector<GroupedHiddenWindowRow>& groupedRows);
    static AppSeriesReadModel buildAppSeries(const GroupedProcessData& groups,
                                             const WindowIndex& window, Date referenceTimestamp,
                                             int64_t maxAppSeries);
    static ComponentAverages buildComponentAverages(const DetailsWindowSummaryRow& summary,
                                                    const DrainSnapshot& fallbackSnapshot);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::mutex lock_;

    // Opening.
    static std::string checkedOpenPath(const std::string& path);
    static void prepareFilesystem(const std::string& databasePath);
    static void configureConnection(sqlite3* db, Mode mode);
    static void ensureSchema(sqlite3* db);
    static std::optional<int64_t> readSnapshotSchemaVersion(sqlite3* db);
    static void resetSnapshotTables(sqlite3* db);
    static void writeSnapshotSchemaVersion(sqlite3* db, int version);
    static void createSnapshotTables(sqlite3* db);
    static void relaxBatteryLevel(sqlite3* db);

    // Write path.
    void validatePublishedSnapshot(const DrainSnapshot& snapshot) const;
    struct DedupDecision {
        enum class Kind { insert, replace, drop } kind = Kind::insert;
        int64_t replacedID = 0;
    };
    DedupDecision dedupDecision(const DrainSnapshot& snapshot);
    void deleteSnapshot(int64_t id);
    int64_t insertSnapshotHeader(const DrainSnapshot& snapshot);
    void insertProcessRows(const std::vector<ProcessDrain>& processes, int64_t snapshotID);
    void insertHiddenRows(const std::vector<HiddenDrain>& hidden, int64_t snapshotID);
    void insertBatteryStatus(const BatteryStatusSample& status, int64_t snapshotID);
    double trackerTotalWatts(const DrainSnapshot& snapshot) const;

    // Read path.
    std::vector<SnapshotHeaderRow> fetchSnapshotHeaders(int64_t limit, SnapshotFetchOrder order);
    std::optional<SnapshotHeaderRow> fetchSnapshotHeader(int64_t id);
    ProcessMap fetchProcessesBySnapshot(const std::vector<int64_t>& snapshotIDs);
    HiddenMap fetchHiddenBySnapshot(const std::vector<int64_t>& snapshotIDs);
    BatteryMap fetchBatteryStatusBySnapshot(const std::vector<int64_t>& snapshotIDs);
    SourceFlagMap fetchSourceFlagsBySnapshot(const std::vector<int64_t>& snapshotIDs);
    int64_t countSnapshotsInWindow(double cutoffTimestamp, double anchorTimestamp);
    std::vector<SnapshotHeaderRow>
    fetchWindowSnapshotHeaders(double cutoffTimestamp, double anchorTimestamp, int64_t stride);
    EnergyUsageSummary fetchEnergyUsageSummary(int64_t limit);
    // One snapshot per header, in header order; takes the child rows out of the maps.
    std::vector<DrainSnapshot> composeSnapshots(const std::vector<SnapshotHeaderRow>& headers,
                                                ProcessMap processes, HiddenMap hidden,
                                                BatteryMap batteries) const;

    // Estimate tracking.
    static EstimateTrackingRow decodeEstimateRow(const SQLiteStatement& statement);

    std::string bundleIdentifierPrefix_;
};

}  // namespace joulix
