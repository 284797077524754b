// SQLiteSnapshotStore write path: validation, the near-duplicate decision, and one snapshot with
// its process, source-flag, hidden and battery rows in one IMMEDIATE transaction; the purge.
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

namespace joulix {

namespace {

double zeroWhenNaN(double value) {
    return std::isnan(value) ? 0.0 : value;
}

constexpr double nearDuplicateSeconds = 0.5;

constexpr const char* latestSummary = "SELECT id, timestamp, total_watts, process_total_w\n"
                                      "FROM snapshots\n"
                                      "ORDER BY timestamp DESC\n"
                                      "LIMIT 1;";

constexpr const char* insertHeader = R"(INSERT INTO snapshots (
    timestamp, total_watts, process_total_w, tracker_total_w,
    on_battery_power, battery_level_percent,
    pm_command_ok, pm_parsed_process_count, pm_has_package_power, pm_has_system_power,
    used_estimated_total_power, screen_model_available, usb_model_available,
    components_screen_w, components_usb_w, components_cpu_w, components_gpu_w,
    components_ane_w, components_ram_w, components_pci_w, components_confidence,
    unattributed_w
) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);)";

constexpr const char* insertProcess = R"(INSERT INTO process_samples (
    snapshot_id, pid, parent_pid, process_name, bundle_id,
    display_name, canonical_name, process_group_key, drain_w, energy_share
) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?);)";

constexpr const char* insertSourceFlag =
    "INSERT INTO process_source_flags (snapshot_id, pid, process_name, source_flag)\n"
    "VALUES (?, ?, ?, ?);";

constexpr const char* insertHidden =
    "INSERT INTO hidden_drains (snapshot_id, kind, identifier, drain_w)\n"
    "VALUES (?, ?, ?, ?);";

constexpr const char* insertBattery = R"(INSERT INTO battery_status_samples (
    snapshot_id, level_percent, remaining_wh, is_charging, external_power_connected,
    system_time_remaining_minutes, discharge_watts, cycle_count, voltage_mv, amperage_ma,
    temperature_centi_c, design_capacity_mah, max_capacity_mah, current_capacity_mah,
    nominal_charge_capacity_mah, design_cycle_count, serial_number, device_name,
    fully_charged, is_ac_powered, adapter_watts, adapter_name
) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);)";

// The display, canonical or group name of a published process row, trimmed; throws when it is
// missing or blank.
std::string validatedPublishedText(const std::optional<std::string>& value,
                                   std::string_view fieldName, const std::string& processName) {
    const std::string_view trimmed = value ? text::trim(*value) : std::string_view();
    if (trimmed.empty()) {
        throw SnapshotStoreError::invalidPublishedSnapshot(
            "Missing " + std::string(fieldName) + " for published process row: " + processName);
    }
    return std::string(trimmed);
}

}  // namespace

SnapshotInsertOutcome SQLiteSnapshotStore::insert(const DrainSnapshot& snapshot) {
    std::lock_guard hold(lock_);
    validatePublishedSnapshot(snapshot);
    const DedupDecision decision = dedupDecision(snapshot);
    if (decision.kind == DedupDecision::Kind::drop)
        return SnapshotInsertOutcome::droppedNearDuplicate;

    sqlite::executeBatch(db_, "BEGIN IMMEDIATE TRANSACTION;");
    const int64_t changesBefore = sqlite::totalChanges(db_);
    try {
        if (decision.kind == DedupDecision::Kind::replace) deleteSnapshot(decision.replacedID);
        const int64_t snapshotID = insertSnapshotHeader(snapshot);
        insertProcessRows(snapshot.processes, snapshotID);
        insertHiddenRows(snapshot.hidden, snapshotID);
        if (snapshot.batteryStatus) insertBatteryStatus(*snapshot.batteryStatus, snapshotID);
        const bool changedRows = sqlite::totalChanges(db_) > changesBefore;
        sqlite::executeBatch(db_, "COMMIT;");
        if (changedRows) ensureSharedSnapshotSidecarPermissions(path_);
    } catch (...) {
        sqlite::executeIgnoringResult(db_, "ROLLBACK;");
        throw;
    }
    return decision.kind == DedupDecision::Kind::replace
               ? SnapshotInsertOutcome::replacedNearDuplicate
               : SnapshotInsertOutcome::inserted;
}

int64_t SQLiteSnapshotStore::purgeSnapshots(Date olderThan) {
    std::lock_guard hold(lock_);
    SQLiteStatement statement(db_, "DELETE FROM snapshots WHERE timestamp < ?;");
    statement.bindDate(1, olderThan);
    statement.stepDone();
    const int64_t deleted = sqlite::changes(db_);
    if (deleted > 0) {
        sqlite::executeIgnoringResult(db_, "PRAGMA wal_checkpoint(TRUNCATE);");
        sqlite::executeIgnoringResult(db_, "VACUUM;");
    }
    return deleted;
}

void SQLiteSnapshotStore::validatePublishedSnapshot(const DrainSnapshot& snapshot) const {
    for (const ProcessDrain& process : snapshot.processes) {
        validatedPublishedText(process.displayName, "display_name", process.name);
        validatedPublishedText(process.canonicalName, "canonical_name", process.name);
        validatedPublishedText(process.processGroupKey, "process_group_key", process.name);
    }
}

std::optional<SQLiteSnapshotStore::LatestSnapshotSummaryRow>
SQLiteSnapshotStore::latestSnapshotSummaryRow() {
    SQLiteStatement statement(db_, latestSummary);
    if (!statement.next()) return std::nullopt;
    return LatestSnapshotSummaryRow{statement.rowID(0), statement.real(1), statement.real(2),
                                    statement.real(3)};
}

SQLiteSnapshotStore::DedupDecision
SQLiteSnapshotStore::dedupDecision(const DrainSnapshot& snapshot) {
    const auto latest = latestSnapshotSummaryRow();
    if (!latest) return {};
    if (std::abs(snapshot.timestamp.timeIntervalSince1970() - latest->timestamp) >
        nearDuplicateSeconds)
        return {};
    const double newQuality =
        snapshotQuality(snapshot.totalDischargeW, processTotalWatts(snapshot));
    const double storedQuality = snapshotQuality(latest->totalWatts, latest->processTotalWatts);
    if (storedQuality <= newQuality) return {DedupDecision::Kind::replace, latest->id};
    return {DedupDecision::Kind::drop, 0};
}

void SQLiteSnapshotStore::deleteSnapshot(int64_t id) {
    SQLiteStatement statement(db_, "DELETE FROM snapshots WHERE id = ?;");
    statement.bindRowID(1, id);
    statement.stepDone();
}

double SQLiteSnapshotStore::trackerTotalWatts(const DrainSnapshot& snapshot) const {
    double total = 0;
    for (const ProcessDrain& process : snapshot.processes) {
        if (isTrackerProcess(process.name, process.bundleID, bundleIdentifierPrefix_))
            total += countedDrain(process.drainW);
    }
    return total;
}

int64_t SQLiteSnapshotStore::insertSnapshotHeader(const DrainSnapshot& snapshot) {
    SQLiteStatement statement(db_, insertHeader);
    statement.bindDate(1, snapshot.timestamp);
    statement.bindReal(2, snapshot.totalDischargeW);
    statement.bindReal(3, processTotalWatts(snapshot));
    statement.bindReal(4, trackerTotalWatts(snapshot));
    const auto& context = snapshot.powerContext;
    statement.bindBool(5, context ? std::optional(context->onBatteryPower) : std::nullopt);
    statement.bindReal(6, context ? context->batteryLevelPercent : std::nullopt);
    if (const auto& telemetry = snapshot.telemetry) {
        statement.bindBool(7, telemetry->powermetricsCommandOK);
        statement.bindInt32(8, telemetry->powermetricsParsedProcessCount,
                            "pm_parsed_process_count");
        statement.bindBool(9, telemetry->powermetricsHasPackagePower);
        statement.bindBool(10, telemetry->powermetricsHasSystemPower);
        statement.bindBool(11, telemetry->usedEstimatedTotalPower);
        statement.bindBool(12, telemetry->screenModelAvailable);
        statement.bindBool(13, telemetry->usbModelAvailable);
    } else {
        for (int index = 7; index <= 13; ++index)
            statement.bindNull(index);
    }
    const ComponentDrain& components = snapshot.components;
    const std::array<double, 7> componentWatts{components.screenW, components.usbW, components.cpuW,
                                               components.gpuW,    components.aneW, components.ramW,
                                               components.pciW};
    for (size_t i = 0; i < componentWatts.size(); ++i)
        statement.bindReal(14 + static_cast<int>(i), componentWatts[i]);
    statement.bindReal(21, components.confidence);
    statement.bindReal(22, snapshot.unattributedW);
    statement.stepDone();
    return sqlite::lastInsertRowID(db_);
}

void SQLiteSnapshotStore::insertProcessRows(const std::vector<ProcessDrain>& processes,
                                            int64_t snapshotID) {
    SQLiteStatement processStatement(db_, insertProcess);
    SQLiteStatement flagStatement(db_, insertSourceFlag);
    for (const ProcessDrain& process : processes) {
        processStatement.reset();
        processStatement.bindRowID(1, snapshotID);
        processStatement.bindInt32(2, process.pid, "pid");
        processStatement.bindInt32(3, process.parentPID, "parent_pid");
        processStatement.bindText(4, process.name);
        processStatement.bindText(5, process.bundleID);
        processStatement.bindText(
            6, validatedPublishedText(process.displayName, "display_name", process.name));
        processStatement.bindText(
            7, validatedPublishedText(process.canonicalName, "canonical_name", process.name));
        processStatement.bindText(
            8, validatedPublishedText(process.processGroupKey, "process_group_key", process.name));
        // SQLite stores NaN as NULL, which the NOT NULL columns refuse: a figure that is not a
        // number is stored as 0, as the totals already count it.
        processStatement.bindReal(9, zeroWhenNaN(process.drainW));
        processStatement.bindReal(10, zeroWhenNaN(process.energyShare));
        processStatement.stepDone();
        for (const std::string& flag : process.sourceFlags) {
            flagStatement.reset();
            flagStatement.bindRowID(1, snapshotID);
            flagStatement.bindInt32(2, process.pid, "pid");
            flagStatement.bindText(3, process.name);
            flagStatement.bindText(4, flag);
            flagStatement.stepDone();
        }
    }
}

void SQLiteSnapshotStore::insertHiddenRows(const std::vector<HiddenDrain>& hidden,
                                           int64_t snapshotID) {
    SQLiteStatement statement(db_, insertHidden);
    for (const HiddenDrain& drain : hidden) {
        statement.reset();
        statement.bindRowID(1, snapshotID);
        statement.bindText(2, rawValue(drain.kind));
        statement.bindText(3, drain.identifier);
        statement.bindReal(4, zeroWhenNaN(drain.drainW));
        statement.stepDone();
    }
}

void SQLiteSnapshotStore::insertBatteryStatus(const BatteryStatusSample& status,
                                              int64_t snapshotID) {
    SQLiteStatement statement(db_, insertBattery);
    statement.bindRowID(1, snapshotID);
    statement.bindReal(2, status.levelPercent);
    statement.bindReal(3, status.remainingWh);
    statement.bindBool(4, status.isCharging);
    statement.bindBool(5, status.externalPowerConnected);
    statement.bindInt32(6, status.systemTimeRemainingMinutes, "system_time_remaining_minutes");
    statement.bindReal(7, status.dischargeWatts);
    statement.bindInt32(8, status.cycleCount, "cycle_count");
    statement.bindInt32(9, status.voltageMV, "voltage_mv");
    statement.bindInt32(10, status.amperageMa, "amperage_ma");
    statement.bindInt32(11, status.temperatureCentiC, "temperature_centi_c");
    statement.bindInt32(12, status.designCapacityMah, "design_capacity_mah");
    statement.bindInt32(13, status.maxCapacityMah, "max_capacity_mah");
    statement.bindInt32(14, status.currentCapacityMah, "current_capacity_mah");
    statement.bindInt32(15, status.nominalChargeCapacityMah, "nominal_charge_capacity_mah");
    statement.bindInt32(16, status.designCycleCount, "design_cycle_count");
    statement.bindText(17, status.serialNumber);
    statement.bindText(18, status.deviceName);
    statement.bindBool(19, status.fullyCharged);
    statement.bindBool(20, status.isACPowered);
    statement.bindInt32(21, status.adapterWatts, "adapter_watts");
    statement.bindText(22, status.adapterName);
    statement.stepDone();
}

}  // namespace joulix
