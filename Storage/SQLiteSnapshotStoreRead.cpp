// SQLiteSnapshotStore read path: snapshots composed from their header and child rows (children
// fetched in one statement per table), the down-sampled window read, and energy totals computed
// inside SQLite by trapezoids over consecutive snapshots (each gap capped at 60 s).
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"

#include <algorithm>
#include <string_view>

namespace joulix {

namespace {

constexpr int64_t maximumLimit = 10000;

int64_t clampedLimit(int64_t limit) {
    return std::clamp<int64_t>(limit, 1, maximumLimit);
}

const std::string headerColumns =
    "id, timestamp, total_watts, process_total_w, tracker_total_w, on_battery_power,\n"
    "    battery_level_percent, pm_command_ok, pm_parsed_process_count, pm_has_package_power,\n"
    "    pm_has_system_power, used_estimated_total_power, screen_model_available,\n"
    "    usb_model_available, components_screen_w, components_usb_w, components_cpu_w,\n"
    "    components_gpu_w, components_ane_w, components_ram_w, components_pci_w,\n"
    "    components_confidence, unattributed_w\n";

// Keeps the first snapshot of the window and every stride-th one after it.
const std::string strideSubquery =
    "SELECT id FROM (\n"
    "    SELECT id, ROW_NUMBER() OVER (ORDER BY timestamp ASC) AS rn\n"
    "    FROM snapshots\n"
    "    WHERE timestamp >= ?1 AND timestamp <= ?2\n"
    ") WHERE (rn - 1) % ?3 = 0";

const std::string processColumns =
    "SELECT snapshot_id, pid, parent_pid, process_name, bundle_id, display_name, canonical_name,\n"
    "    process_group_key, drain_w, energy_share\n";

const std::string hiddenColumns = "SELECT snapshot_id, kind, identifier, drain_w\n";

const std::string sourceFlagColumns = "SELECT snapshot_id, pid, process_name, source_flag\n";

const std::string batteryColumns =
    "SELECT snapshot_id, level_percent, remaining_wh, is_charging, external_power_connected,\n"
    "    system_time_remaining_minutes, discharge_watts, cycle_count, voltage_mv, amperage_ma,\n"
    "    temperature_centi_c, design_capacity_mah, max_capacity_mah, current_capacity_mah,\n"
    "    nominal_charge_capacity_mah, design_cycle_count, serial_number, device_name,\n"
    "    fully_charged, is_ac_powered, adapter_watts, adapter_name\n";

// "WHERE snapshot_id IN (\n    ?,?,…" with one placeholder per id.
std::string idListClause(size_t count) {
    std::string clause = "WHERE snapshot_id IN (\n    ";
    for (size_t i = 0; i < count; ++i)
        clause += i == 0 ? "?" : ",?";
    return clause;
}

void bindIDs(SQLiteStatement& statement, const std::vector<int64_t>& ids) {
    for (size_t i = 0; i < ids.size(); ++i)
        statement.bindRowID(static_cast<int>(i + 1), ids[i]);
}

std::vector<int64_t> snapshotIDs(const auto& headers) {
    std::vector<int64_t> ids;
    ids.reserve(headers.size());
    for (const auto& header : headers)
        ids.push_back(header.id);
    return ids;
}

void bindWindow(SQLiteStatement& statement, double cutoff, double anchor, int64_t stride) {
    statement.bindReal(1, cutoff);
    statement.bindReal(2, anchor);
    statement.bindInt32(3, stride, "stride");
}

// The source-flag key of a process row: "snapshotID:pid:name".
std::string sourceFlagKey(int64_t snapshotID, int64_t pid, const std::string& name) {
    return std::to_string(snapshotID) + ":" + std::to_string(pid) + ":" + name;
}

// Trapezoid energy of one series over the weighted intervals: weight × max(0, mean).
std::string trapezoidSum(const std::string& column) {
    return "COALESCE(SUM(dt * MAX(0, (prev_" + column + " + " + column + ") * 0.5)), 0)";
}

std::string batteryTrapezoidSum(const std::string& column) {
    return "COALESCE(SUM(CASE WHEN COALESCE(on_battery_power, prev_on_battery_power, 0) != 0\n"
           "    THEN dt * MAX(0, (prev_" +
           column + " + " + column + ") * 0.5) ELSE 0 END), 0)";
}

// The interval weight: the gap to the previous row, at most 60 s, in hours; 0 for the first row
// and for equal or earlier timestamps.
const std::string intervalWeight =
    "CASE WHEN prev_timestamp IS NOT NULL AND timestamp > prev_timestamp\n"
    "    THEN MIN(timestamp - prev_timestamp, 60.0) / 3600.0 ELSE 0 END AS dt";

const std::string trackedHours = "COALESCE((MAX(timestamp) - MIN(timestamp)) / 3600.0, 0)";

// The history energy summary, in two fixed pieces around the lower-cased, quote-doubled bundle
// identifier prefix, which stands inside a quoted literal. An empty prefix matches nothing. The
// CROSS JOIN keeps SQLite from scanning every process row of the file for the newest few
// snapshots' (it would otherwise walk the whole process index).
std::string energyUsageSummarySQL(const std::string& escapedPrefix) {
    const std::string matchText = "lower(ps.process_name || ' ' || COALESCE(ps.bundle_id, ''))";
    const std::string firstPiece =
        "WITH recent AS (\n"
        "    SELECT id, timestamp, total_watts, on_battery_power\n"
        "    FROM snapshots\n"
        "    ORDER BY timestamp DESC, id DESC\n"
        "    LIMIT ?\n"
        "),\n"
        "tracker_power AS (\n"
        "    SELECT ps.snapshot_id AS snapshot_id,\n"
        "        SUM(CASE WHEN ps.drain_w > 0 THEN ps.drain_w ELSE 0 END) AS tracker_w\n"
        "    FROM recent\n"
        "    CROSS JOIN process_samples ps ON ps.snapshot_id = recent.id\n"
        "    WHERE instr(" +
        matchText + ", 'joulix') > 0\n        OR instr(" + matchText +
        ", 'duzadiruzadivozezazi') > 0\n        OR (length('";
    const std::string middlePiece = "') > 0 AND instr(" + matchText + ", '";
    const std::string secondPiece =
        "') > 0)\n"
        "    GROUP BY ps.snapshot_id\n"
        "),\n"
        "ordered AS (\n"
        "    SELECT recent.timestamp AS timestamp,\n"
        "        recent.total_watts AS total_watts,\n"
        "        recent.on_battery_power AS on_battery_power,\n"
        "        COALESCE(tracker_power.tracker_w, 0) AS tracker_w,\n"
        "        LAG(recent.timestamp) OVER w AS prev_timestamp,\n"
        "        LAG(recent.total_watts) OVER w AS prev_total_watts,\n"
        "        LAG(recent.on_battery_power) OVER w AS prev_on_battery_power,\n"
        "        LAG(COALESCE(tracker_power.tracker_w, 0)) OVER w AS prev_tracker_w\n"
        "    FROM recent\n"
        "    LEFT JOIN tracker_power ON tracker_power.snapshot_id = recent.id\n"
        "    WINDOW w AS (ORDER BY recent.timestamp ASC, recent.id ASC)\n"
        "),\n"
        "weighted AS (\n"
        "    SELECT *, " +
        intervalWeight +
        "\n    FROM ordered\n"
        ")\n"
        "SELECT " +
        trapezoidSum("total_watts") + " AS total_wh,\n    " + batteryTrapezoidSum("total_watts") +
        " AS battery_wh,\n    " + trapezoidSum("tracker_w") + " AS tracker_wh,\n    " +
        trackedHours +
        " AS tracked_hours\n"
        "FROM weighted;";
    return firstPiece + escapedPrefix + middlePiece + escapedPrefix + secondPiece;
}

const std::string detailsWindowSummarySQL = [] {
    const char* series[] = {"total_watts",         "tracker_total_w",  "process_total_w",
                            "components_screen_w", "components_usb_w", "components_cpu_w",
                            "components_gpu_w",    "components_ane_w", "components_ram_w",
                            "components_pci_w",    "unattributed_w",   "on_battery_power"};
    std::string columns = "timestamp", lags = "LAG(timestamp) OVER w AS prev_timestamp";
    for (const char* column : series) {
        columns += std::string(", ") + column;
        lags += std::string(",\n        LAG(") + column + ") OVER w AS prev_" + column;
    }
    return "WITH ordered AS (\n"
           "    SELECT " +
           columns + ",\n        " + lags +
           "\n    FROM snapshots\n"
           "    WHERE timestamp >= ? AND timestamp <= ?\n"
           "    WINDOW w AS (ORDER BY timestamp ASC, id ASC)\n"
           "),\n"
           "weighted AS (\n"
           "    SELECT *, " +
           intervalWeight +
           "\n    FROM ordered\n"
           ")\n"
           "SELECT " +
           trapezoidSum("total_watts") + " AS total_wh,\n    " +
           batteryTrapezoidSum("total_watts") + " AS battery_wh,\n    " +
           trapezoidSum("tracker_total_w") + " AS tracker_wh,\n    " + trackedHours +
           " AS tracked_hours,\n    COALESCE(SUM(dt), 0) AS sample_hours,\n    " +
           trapezoidSum("process_total_w") + " AS process_wh,\n    " +
           trapezoidSum("components_screen_w") + " AS screen_wh,\n    " +
           trapezoidSum("components_usb_w") + " AS usb_wh,\n    " +
           trapezoidSum("components_cpu_w") + " AS cpu_wh,\n    " +
           trapezoidSum("components_gpu_w") + " AS gpu_wh,\n    " +
           trapezoidSum("components_ane_w") + " AS ane_wh,\n    " +
           trapezoidSum("components_ram_w") + " AS ram_wh,\n    " +
           trapezoidSum("components_pci_w") + " AS pci_wh,\n    " + trapezoidSum("unattributed_w") +
           " AS unattributed_wh\n"
           "FROM weighted;";
}();

ProcessDrain decodeProcessRow(const SQLiteStatement& row) {
    ProcessDrain process;
    process.pid = row.int32(1);
    process.parentPID = row.optionalInt32(2);
    process.name = row.text(3);
    process.bundleID = row.optionalText(4);
    process.displayName = row.optionalText(5);
    process.canonicalName = row.optionalText(6);
    process.processGroupKey = row.optionalText(7);
    process.drainW = row.real(8);
    process.energyShare = row.real(9);
    return process;
}

BatteryStatusSample decodeBatteryRow(const SQLiteStatement& row) {
    BatteryStatusSample status;
    status.levelPercent = row.optionalReal(1);
    status.remainingWh = row.optionalReal(2);
    status.isCharging = row.boolean(3);
    status.externalPowerConnected = row.boolean(4);
    status.systemTimeRemainingMinutes = row.optionalInt32(5);
    status.dischargeWatts = row.optionalReal(6);
    status.cycleCount = row.optionalInt32(7);
    status.voltageMV = row.optionalInt32(8);
    status.amperageMa = row.optionalInt32(9);
    status.temperatureCentiC = row.optionalInt32(10);
    status.designCapacityMah = row.optionalInt32(11);
    status.maxCapacityMah = row.optionalInt32(12);
    status.currentCapacityMah = row.optionalInt32(13);
    status.nominalChargeCapacityMah = row.optionalInt32(14);
    status.designCycleCount = row.optionalInt32(15);
    status.serialNumber = row.optionalText(16);
    status.deviceName = row.optionalText(17);
    status.fullyCharged = row.optionalBool(18);
    status.isACPowered = row.optionalBool(19);
    status.adapterWatts = row.optionalInt32(20);
    status.adapterName = row.optionalText(21);
    return status;
}

// The 23 header columns of the current row.
template <class Header> Header decodeHeaderRow(const SQLiteStatement& row) {
    Header header;
    header.id = row.rowID(0);
    header.timestamp = row.real(1);
    header.totalWatts = row.real(2);
    header.processTotalWatts = row.real(3);
    header.trackerTotalWatts = row.real(4);
    header.onBatteryPower = row.optionalBool(5);
    header.batteryLevelPercent = row.optionalReal(6);
    bool telemetryComplete = true;
    for (int column = 7; column <= 13; ++column)
        telemetryComplete = telemetryComplete && !row.isNull(column);
    if (telemetryComplete) {
        header.telemetry =
            SourceTelemetry{row.boolean(7),  row.int32(8),    row.boolean(9), row.boolean(10),
                            row.boolean(11), row.boolean(12), row.boolean(13)};
    }
    header.screenWatts = row.real(14);
    header.usbWatts = row.real(15);
    header.cpuWatts = row.real(16);
    header.gpuWatts = row.real(17);
    header.aneWatts = row.real(18);
    header.ramWatts = row.real(19);
    header.pciWatts = row.real(20);
    header.componentsConfidence = row.optionalReal(21);
    header.unattributedWatts = row.real(22);
    return header;
}

}  // namespace

std::vector<DrainSnapshot> SQLiteSnapshotStore::fetchLatest(int64_t limit) {
    std::lock_guard hold(lock_);
    const auto headers = fetchSnapshotHeaders(clampedLimit(limit), SnapshotFetchOrder::newestFirst);
    if (headers.empty()) return {};
    const std::vector<int64_t> ids = snapshotIDs(headers);
    return composeSnapshots(headers, fetchProcessesBySnapshot(ids), fetchHiddenBySnapshot(ids),
                            fetchBatteryStatusBySnapshot(ids));
}

SnapshotHistoryReadModel SQLiteSnapshotStore::fetchHistoryReadModel(int64_t limit) {
    std::lock_guard hold(lock_);
    const int64_t clamped = clampedLimit(limit);
    SnapshotHistoryReadModel model;
    const auto headers = fetchSnapshotHeaders(clamped, SnapshotFetchOrder::oldestFirst);
    if (!headers.empty()) {
        const std::vector<int64_t> ids = snapshotIDs(headers);
        model.snapshots =
            composeSnapshots(headers, fetchProcessesBySnapshot(ids), fetchHiddenBySnapshot(ids),
                             fetchBatteryStatusBySnapshot(ids));
    }
    model.energyUsageSummary = fetchEnergyUsageSummary(clamped);
    return model;
}

std::vector<DrainSnapshot>
SQLiteSnapshotStore::fetchWindowSnapshots(double windowSeconds, int64_t maxRows,
                                          std::optional<Date> anchorTimestamp) {
    std::lock_guard hold(lock_);
    const int64_t rows = clampedLimit(maxRows);
    const auto latest = latestSnapshotSummaryRow();
    const double anchor = anchorTimestamp ? anchorTimestamp->timeIntervalSince1970()
                          : latest        ? latest->timestamp
                                          : Date::now().timeIntervalSince1970();
    const double cutoff = anchor - std::max(windowSeconds, 1.0);
    const int64_t count = countSnapshotsInWindow(cutoff, anchor);
    if (count == 0) return {};
    const int64_t stride = std::max<int64_t>(count / rows, 1);

    // The stride subquery runs once, for the headers; the children are read by the headers' ids,
    // so each child table is probed only for the kept snapshots and matches them exactly.
    const auto headers = fetchWindowSnapshotHeaders(cutoff, anchor, stride);
    const std::vector<int64_t> ids = snapshotIDs(headers);
    return composeSnapshots(headers, fetchProcessesBySnapshot(ids), fetchHiddenBySnapshot(ids),
                            fetchBatteryStatusBySnapshot(ids));
}

std::optional<DrainSnapshot> SQLiteSnapshotStore::fetchSnapshot(int64_t id) {
    auto newest = fetchSnapshotHeaders(1, SnapshotFetchOrder::newestFirst);
    std::optional<SnapshotHeaderRow> header;
    if (!newest.empty() && newest.front().id == id) {
        header = newest.front();
    } else {
        header = fetchSnapshotHeader(id);
    }
    if (!header) return std::nullopt;
    const std::vector<int64_t> ids{id};
    return composeSnapshots({*header}, fetchProcessesBySnapshot(ids), fetchHiddenBySnapshot(ids),
                            fetchBatteryStatusBySnapshot(ids))
        .front();
}

std::vector<SQLiteSnapshotStore::SnapshotHeaderRow>
SQLiteSnapshotStore::fetchSnapshotHeaders(int64_t limit, SnapshotFetchOrder order) {
    const std::string sql =
        order == SnapshotFetchOrder::newestFirst
            ? "SELECT " + headerColumns +
                  "FROM snapshots\nORDER BY timestamp DESC, id DESC\nLIMIT ?;"
            : "SELECT " + headerColumns + "FROM (\n    SELECT " + headerColumns +
                  "    FROM snapshots\n    ORDER BY timestamp DESC, id DESC\n    LIMIT ?\n) AS "
                  "recent\nORDER BY timestamp ASC, id ASC;";
    SQLiteStatement statement(db_, sql);
    statement.bindInt32(1, limit, "limit");
    std::vector<SnapshotHeaderRow> headers;
    while (statement.next())
        headers.push_back(decodeHeaderRow<SnapshotHeaderRow>(statement));
    return headers;
}

std::optional<SQLiteSnapshotStore::SnapshotHeaderRow>
SQLiteSnapshotStore::fetchSnapshotHeader(int64_t id) {
    SQLiteStatement statement(db_,
                              "SELECT " + headerColumns + "FROM snapshots\nWHERE id = ?\nLIMIT 1;");
    statement.bindRowID(1, id);
    if (!statement.next()) return std::nullopt;
    return decodeHeaderRow<SnapshotHeaderRow>(statement);
}

SQLiteSnapshotStore::ProcessMap
SQLiteSnapshotStore::fetchProcessesBySnapshot(const std::vector<int64_t>& snapshotIDs) {
    if (snapshotIDs.empty()) return {};
    SQLiteStatement statement(db_, processColumns + "FROM process_samples\n" +
                                       idListClause(snapshotIDs.size()) +
                                       "\n)\nORDER BY snapshot_id DESC, drain_w DESC;");
    bindIDs(statement, snapshotIDs);
    ProcessMap processes;
    while (statement.next())
        processes[statement.rowID(0)].push_back(decodeProcessRow(statement));
    const SourceFlagMap flags = fetchSourceFlagsBySnapshot(snapshotIDs);
    for (auto& [snapshotID, list] : processes) {
        for (ProcessDrain& process : list) {
            const auto found = flags.find(sourceFlagKey(snapshotID, process.pid, process.name));
            if (found != flags.end()) process.sourceFlags = found->second;
        }
    }
    return processes;
}

SQLiteSnapshotStore::HiddenMap
SQLiteSnapshotStore::fetchHiddenBySnapshot(const std::vector<int64_t>& snapshotIDs) {
    if (snapshotIDs.empty()) return {};
    SQLiteStatement statement(db_, hiddenColumns + "FROM hidden_drains\n" +
                                       idListClause(snapshotIDs.size()) +
                                       "\n)\nORDER BY snapshot_id DESC, drain_w DESC;");
    bindIDs(statement, snapshotIDs);
    HiddenMap hidden;
    while (statement.next()) {
        if (const auto kind = hiddenDrainKindFromRawValue(statement.text(1))) {
            hidden[statement.rowID(0)].push_back(
                HiddenDrain{*kind, statement.text(2), statement.real(3)});
        }
    }
    return hidden;
}

SQLiteSnapshotStore::BatteryMap
SQLiteSnapshotStore::fetchBatteryStatusBySnapshot(const std::vector<int64_t>& snapshotIDs) {
    if (snapshotIDs.empty()) return {};
    SQLiteStatement statement(db_, batteryColumns + "FROM battery_status_samples\n" +
                                       idListClause(snapshotIDs.size()) + "\n);");
    bindIDs(statement, snapshotIDs);
    BatteryMap batteries;
    while (statement.next())
        batteries[statement.rowID(0)] = decodeBatteryRow(statement);
    return batteries;
}

SQLiteSnapshotStore::SourceFlagMap
SQLiteSnapshotStore::fetchSourceFlagsBySnapshot(const std::vector<int64_t>& snapshotIDs) {
    if (snapshotIDs.empty()) return {};
    SQLiteStatement statement(db_, sourceFlagColumns + "FROM process_source_flags\n" +
                                       idListClause(snapshotIDs.size()) + "\n);");
    bindIDs(statement, snapshotIDs);
    SourceFlagMap flags;
    while (statement.next()) {
        flags[sourceFlagKey(statement.rowID(0), statement.int32(1), statement.text(2))].push_back(
            statement.text(3));
    }
    return flags;
}

int64_t SQLiteSnapshotStore::countSnapshotsInWindow(double cutoffTimestamp,
                                                    double anchorTimestamp) {
    SQLiteStatement statement(
        db_, "SELECT COUNT(*) FROM snapshots WHERE timestamp >= ? AND timestamp <= ?;");
    statement.bindReal(1, cutoffTimestamp);
    statement.bindReal(2, anchorTimestamp);
    statement.stepRow();
    return statement.int32(0);
}

std::vector<SQLiteSnapshotStore::SnapshotHeaderRow>
SQLiteSnapshotStore::fetchWindowSnapshotHeaders(double cutoffTimestamp, double anchorTimestamp,
                                                int64_t stride) {
    SQLiteStatement statement(db_, "SELECT " + headerColumns + "FROM snapshots\nWHERE id IN (" +
                                       strideSubquery + ")\nORDER BY timestamp ASC;");
    bindWindow(statement, cutoffTimestamp, anchorTimestamp, stride);
    std::vector<SnapshotHeaderRow> headers;
    while (statement.next())
        headers.push_back(decodeHeaderRow<SnapshotHeaderRow>(statement));
    return headers;
}

EnergyUsageSummary SQLiteSnapshotStore::fetchEnergyUsageSummary(int64_t limit) {
    std::string escapedPrefix;
    for (const char c : text::lowercased(bundleIdentifierPrefix_)) {
        escapedPrefix += c;
        if (c == '\'') escapedPrefix += '\'';
    }
    SQLiteStatement statement(db_, energyUsageSummarySQL(escapedPrefix));
    statement.bindInt32(1, limit, "limit");
    statement.stepRow();
    return EnergyUsageSummary{statement.real(0), statement.real(1), statement.real(3),
                              statement.real(2)};
}

SQLiteSnapshotStore::DetailsWindowSummaryRow
SQLiteSnapshotStore::fetchDetailsWindowSummary(double cutoffTimestamp, double anchorTimestamp) {
    SQLiteStatement statement(db_, detailsWindowSummarySQL);
    statement.bindReal(1, cutoffTimestamp);
    statement.bindReal(2, anchorTimestamp);
    statement.stepRow();
    return DetailsWindowSummaryRow{statement.real(0),  statement.real(1),  statement.real(2),
                                   statement.real(3),  statement.real(4),  statement.real(5),
                                   statement.real(6),  statement.real(7),  statement.real(8),
                                   statement.real(9),  statement.real(10), statement.real(11),
                                   statement.real(12), statement.real(13)};
}

std::vector<SQLiteSnapshotStore::WindowSnapshotRow>
SQLiteSnapshotStore::fetchWindowSnapshotRows(double cutoffTimestamp, double anchorTimestamp) {
    SQLiteStatement statement(
        db_, "SELECT id, timestamp, total_watts, process_total_w, tracker_total_w,\n"
             "    on_battery_power, battery_level_percent, components_screen_w,\n"
             "    components_usb_w, unattributed_w\n"
             "FROM snapshots\n"
             "WHERE timestamp >= ? AND timestamp <= ?\n"
             "ORDER BY timestamp ASC, id ASC;");
    statement.bindReal(1, cutoffTimestamp);
    statement.bindReal(2, anchorTimestamp);
    std::vector<WindowSnapshotRow> rows;
    while (statement.next()) {
        rows.push_back(WindowSnapshotRow{statement.rowID(0), statement.real(1), statement.real(2),
                                         statement.real(3), statement.real(4),
                                         statement.optionalBool(5), statement.optionalReal(6),
                                         statement.real(7), statement.real(8), statement.real(9)});
    }
    return rows;
}

std::vector<SQLiteSnapshotStore::GroupedProcessWindowRow>
SQLiteSnapshotStore::fetchGroupedProcessWindowRows(double cutoffTimestamp, double anchorTimestamp) {
    SQLiteStatement statement(
        db_, "SELECT snapshots.timestamp, process_samples.process_group_key,\n"
             "    MAX(process_samples.canonical_name), SUM(process_samples.drain_w), snapshots.id\n"
             "FROM process_samples\n"
             "JOIN snapshots ON snapshots.id = process_samples.snapshot_id\n"
             "WHERE snapshots.timestamp >= ? AND snapshots.timestamp <= ?\n"
             "GROUP BY snapshots.timestamp, snapshots.id, process_samples.process_group_key\n"
             "ORDER BY snapshots.timestamp ASC, snapshots.id ASC,\n"
             "    process_samples.process_group_key ASC;");
    statement.bindReal(1, cutoffTimestamp);
    statement.bindReal(2, anchorTimestamp);
    std::vector<GroupedProcessWindowRow> rows;
    while (statement.next()) {
        rows.push_back(GroupedProcessWindowRow{statement.real(0), statement.text(1),
                                               statement.text(2), statement.real(3),
                                               statement.rowID(4)});
    }
    return rows;
}

std::vector<SQLiteSnapshotStore::GroupedHiddenWindowRow>
SQLiteSnapshotStore::fetchGroupedHiddenWindowRows(double cutoffTimestamp, double anchorTimestamp) {
    SQLiteStatement statement(
        db_, "SELECT snapshots.timestamp, hidden_drains.kind, hidden_drains.identifier,\n"
             "    SUM(hidden_drains.drain_w), snapshots.id\n"
             "FROM hidden_drains\n"
             "JOIN snapshots ON snapshots.id = hidden_drains.snapshot_id\n"
             "WHERE snapshots.timestamp >= ? AND snapshots.timestamp <= ?\n"
             "GROUP BY snapshots.timestamp, snapshots.id, hidden_drains.kind,\n"
             "    hidden_drains.identifier\n"
             "ORDER BY snapshots.timestamp ASC, snapshots.id ASC, hidden_drains.kind ASC,\n"
             "    hidden_drains.identifier ASC;");
    statement.bindReal(1, cutoffTimestamp);
    statement.bindReal(2, anchorTimestamp);
    std::vector<GroupedHiddenWindowRow> rows;
    while (statement.next()) {
        const std::string kindText = statement.text(1);
        const auto kind = hiddenDrainKindFromRawValue(kindText);
        if (!kind) continue;
        const std::string identifier = statement.text(2);
        rows.push_back(GroupedHiddenWindowRow{statement.real(0), kindText + "-" + identifier, *kind,
                                              identifier, statement.real(3), statement.rowID(4)});
    }
    return rows;
}

std::vector<DrainSnapshot>
SQLiteSnapshotStore::composeSnapshots(const std::vector<SnapshotHeaderRow>& headers,
                                      ProcessMap processes, HiddenMap hidden,
                                      BatteryMap batteries) const {
    std::vector<DrainSnapshot> snapshots;
    snapshots.reserve(headers.size());
    for (const SnapshotHeaderRow& header : headers) {
        DrainSnapshot snapshot;
        snapshot.timestamp = Date::fromTimeIntervalSince1970(header.timestamp);
        snapshot.totalDischargeW = header.totalWatts;
        if (auto found = processes.find(header.id); found != processes.end())
            snapshot.processes = std::move(found->second);
        if (auto found = hidden.find(header.id); found != hidden.end())
            snapshot.hidden = std::move(found->second);
        snapshot.components = ComponentDrain{header.screenWatts,
                                             header.usbWatts,
                                             header.cpuWatts,
                                             header.gpuWatts,
                                             header.aneWatts,
                                             0,
                                             0,
                                             header.ramWatts,
                                             header.pciWatts,
                                             header.componentsConfidence};
        snapshot.unattributedW = header.unattributedWatts;
        snapshot.telemetry = header.telemetry;
        if (header.onBatteryPower)
            snapshot.powerContext =
                PowerUsageContext{*header.onBatteryPower, header.batteryLevelPercent};
        if (auto found = batteries.find(header.id); found != batteries.end())
            snapshot.batteryStatus = std::move(found->second);
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

}  // namespace joulix
