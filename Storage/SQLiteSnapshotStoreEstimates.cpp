// SQLiteSnapshotStore estimate tracking: each shown battery-time estimate is one row, written when
// it is shown and updated once it has been judged. Each write is one statement.
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"

#include <algorithm>
#include <array>
#include <utility>

namespace joulix {

namespace {

constexpr std::array<std::pair<EstimateTrackingStatus, std::string_view>, 4> statusTexts{{
    {EstimateTrackingStatus::pending, "pending"},
    {EstimateTrackingStatus::evaluated, "evaluated"},
    {EstimateTrackingStatus::skippedPowerSourceChange, "skipped_power_source_change"},
    {EstimateTrackingStatus::skippedInsufficientData, "skipped_insufficient_data"},
}};

constexpr const char* estimateColumns =
    "SELECT id, estimate_timestamp, horizon_seconds, estimate_source, on_battery,\n"
    "    start_battery_percent, estimated_power_w, estimated_drain_rate_pct_hr,\n"
    "    estimated_time_left_min, evaluation_status, evaluated_at, sample_duration_seconds,\n"
    "    actual_battery_percent, actual_avg_power_w, actual_drain_rate_pct_hr,\n"
    "    actual_time_left_min, power_error_w, drain_rate_error_pct_hr, time_left_error_min\n"
    "FROM estimate_tracking\n";

int64_t clampedLimit(int64_t limit) {
    return std::clamp<int64_t>(limit, 1, 10000);
}

}  // namespace

std::string_view rawValue(EstimateTrackingStatus status) {
    for (const auto& [candidate, text] : statusTexts) {
        if (candidate == status) return text;
    }
    return "pending";
}

std::optional<EstimateTrackingStatus> estimateTrackingStatusFromRawValue(std::string_view raw) {
    for (const auto& [status, text] : statusTexts) {
        if (text == raw) return status;
    }
    return std::nullopt;
}

int64_t SQLiteSnapshotStore::insert(const EstimateTrackingEstimateInput& estimate) {
    std::lock_guard hold(lock_);
    SQLiteStatement statement(
        db_, "INSERT INTO estimate_tracking (\n"
             "    estimate_timestamp, horizon_seconds, estimate_source, on_battery,\n"
             "    start_battery_percent, estimated_power_w, estimated_drain_rate_pct_hr,\n"
             "    estimated_time_left_min, evaluation_status\n"
             ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
    statement.bindDate(1, estimate.estimatedAt);
    statement.bindInt32(2, std::max<int64_t>(estimate.horizonSeconds, 1), "horizon_seconds");
    statement.bindText(3, estimate.estimateSource);
    statement.bindBool(4, estimate.onBatteryPower);
    statement.bindReal(5, estimate.startingBatteryLevelPercent);
    statement.bindReal(6, estimate.estimatedPowerW);
    statement.bindReal(7, estimate.estimatedDrainRatePctPerHour);
    statement.bindInt32(8, estimate.estimatedTimeRemainingMinutes, "estimated_time_left_min");
    statement.bindText(9, rawValue(EstimateTrackingStatus::pending));
    statement.stepDone();
    return sqlite::lastInsertRowID(db_);
}

void SQLiteSnapshotStore::applyEvaluation(int64_t recordID,
                                          const EstimateTrackingEvaluationInput& evaluation) {
    std::lock_guard hold(lock_);
    SQLiteStatement statement(db_, "UPDATE estimate_tracking\n"
                                   "SET evaluated_at = ?, sample_duration_seconds = ?,\n"
                                   "    actual_battery_percent = ?, actual_avg_power_w = ?,\n"
                                   "    actual_drain_rate_pct_hr = ?, actual_time_left_min = ?,\n"
                                   "    power_error_w = ?, drain_rate_error_pct_hr = ?,\n"
                                   "    time_left_error_min = ?, evaluation_status = ?\n"
                                   "WHERE id = ?;");
    statement.bindDate(1, evaluation.evaluatedAt);
    statement.bindReal(2, evaluation.sampleDurationSeconds);
    statement.bindReal(3, evaluation.actualBatteryLevelPercent);
    statement.bindReal(4, evaluation.actualAveragePowerW);
    statement.bindReal(5, evaluation.actualDrainRatePctPerHour);
    statement.bindReal(6, evaluation.actualTimeRemainingMinutes);
    statement.bindReal(7, evaluation.powerErrorW);
    statement.bindReal(8, evaluation.drainRateErrorPctPerHour);
    statement.bindReal(9, evaluation.timeRemainingErrorMinutes);
    statement.bindText(10, rawValue(evaluation.status));
    statement.bindRowID(11, recordID);
    statement.stepDone();
}

std::vector<EstimateTrackingRow> SQLiteSnapshotStore::fetchEstimateRows(int64_t limit) {
    std::lock_guard hold(lock_);
    SQLiteStatement statement(db_, std::string(estimateColumns) +
                                       "ORDER BY estimate_timestamp DESC\nLIMIT ?;");
    statement.bindInt32(1, clampedLimit(limit), "limit");
    std::vector<EstimateTrackingRow> rows;
    while (statement.next())
        rows.push_back(decodeEstimateRow(statement));
    return rows;
}

std::vector<EstimateTrackingRow> SQLiteSnapshotStore::fetchPendingEstimates(int64_t limit) {
    std::lock_guard hold(lock_);
    SQLiteStatement statement(db_, std::string(estimateColumns) +
                                       "WHERE evaluation_status = ?\n"
                                       "ORDER BY estimate_timestamp ASC\nLIMIT ?;");
    statement.bindText(1, rawValue(EstimateTrackingStatus::pending));
    statement.bindInt32(2, clampedLimit(limit), "limit");
    std::vector<EstimateTrackingRow> rows;
    while (statement.next())
        rows.push_back(decodeEstimateRow(statement));
    return rows;
}

EstimateTrackingRow SQLiteSnapshotStore::decodeEstimateRow(const SQLiteStatement& row) {
    EstimateTrackingRow estimate;
    estimate.id = row.rowID(0);
    estimate.estimatedAt = row.date(1);
    estimate.horizonSeconds = row.int32(2);
    estimate.estimateSource = row.text(3);
    estimate.onBatteryPower = row.boolean(4);
    estimate.startingBatteryLevelPercent = row.real(5);
    estimate.estimatedPowerW = row.real(6);
    estimate.estimatedDrainRatePctPerHour = row.optionalReal(7);
    estimate.estimatedTimeRemainingMinutes = row.optionalInt32(8);
    estimate.status =
        estimateTrackingStatusFromRawValue(row.text(9)).value_or(EstimateTrackingStatus::pending);
    estimate.evaluatedAt = row.optionalDate(10);
    estimate.sampleDurationSeconds = row.optionalReal(11);
    estimate.actualBatteryLevelPercent = row.optionalReal(12);
    estimate.actualAveragePowerW = row.optionalReal(13);
    estimate.actualDrainRatePctPerHour = row.optionalReal(14);
    estimate.actualTimeRemainingMinutes = row.optionalReal(15);
    estimate.powerErrorW = row.optionalReal(16);
    estimate.drainRateErrorPctPerHour = row.optionalReal(17);
    estimate.timeRemainingErrorMinutes = row.optionalReal(18);
    return estimate;
}

}  // namespace joulix
