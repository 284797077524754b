#pragma once
// The log of battery-time estimates: what was estimated when it was shown, and how the battery
// actually behaved once the estimate's horizon had passed. The store only persists them.
#include "SharedModels/Date.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

enum class EstimateTrackingStatus {
    pending,
    evaluated,
    skippedPowerSourceChange,
    skippedInsufficientData
};

// "pending", "evaluated", "skipped_power_source_change", "skipped_insufficient_data".
std::string_view rawValue(EstimateTrackingStatus status);
// No value for any other text.
std::optional<EstimateTrackingStatus> estimateTrackingStatusFromRawValue(std::string_view raw);

// Recorded when an estimate is shown.
struct EstimateTrackingEstimateInput {
    Date estimatedAt{};
    int64_t horizonSeconds = 0;
    std::string estimateSource{};
    bool onBatteryPower = false;
    double startingBatteryLevelPercent = 0;
    double estimatedPowerW = 0;
    std::optional<double> estimatedDrainRatePctPerHour{};
    std::optional<int64_t> estimatedTimeRemainingMinutes{};

    friend bool operator==(const EstimateTrackingEstimateInput&,
                           const EstimateTrackingEstimateInput&) = default;
};

// Recorded when an estimate is judged.
struct EstimateTrackingEvaluationInput {
    EstimateTrackingStatus status = EstimateTrackingStatus::pending;
    Date evaluatedAt{};
    std::optional<double> sampleDurationSeconds{};
    std::optional<double> actualBatteryLevelPercent{};
    std::optional<double> actualAveragePowerW{};
    std::optional<double> actualDrainRatePctPerHour{};
    std::optional<double> actualTimeRemainingMinutes{};
    std::optional<double> powerErrorW{};
    std::optional<double> drainRateErrorPctPerHour{};
    std::optional<double> timeRemainingErrorMinutes{};

    friend bool operator==(const EstimateTrackingEvaluationInput&,
                           const EstimateTrackingEvaluationInput&) = default;
};

// One stored row of the log.
struct EstimateTrackingRow {
    int64_t id = 0;
    Date estimatedAt{};
    int64_t horizonSeconds = 0;
    std::string estimateSource{};
    bool onBatteryPower = false;
    double startingBatteryLevelPercent = 0;
    double estimatedPowerW = 0;
    std::optional<double> estimatedDrainRatePctPerHour{};
    std::optional<int64_t> estimatedTimeRemainingMinutes{};
    EstimateTrackingStatus status = EstimateTrackingStatus::pending;
    std::optional<Date> evaluatedAt{};
    std::optional<double> sampleDurationSeconds{};
    std::optional<double> actualBatteryLevelPercent{};
    std::optional<double> actualAveragePowerW{};
    std::optional<double> actualDrainRatePctPerHour{};
    std::optional<double> actualTimeRemainingMinutes{};
    std::optional<double> powerErrorW{};
    std::optional<double> drainRateErrorPctPerHour{};
    std::optional<double> timeRemainingErrorMinutes{};

    bool isEvaluated() const { return status == EstimateTrackingStatus::evaluated; }

    friend bool operator==(const EstimateTrackingRow&, const EstimateTrackingRow&) = default;
};

}  // namespace joulix
