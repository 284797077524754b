#pragma once
// The records of the details screen: one window's power charts, application series, process
// groups, hidden workloads and summaries, the lighter windowed summary, and a history of
// snapshots with its energy summary. Plain values, compared member by member.
#include "SharedModels/Presentation/GraphRecords.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace joulix {

// One visible application row with its member processes.
struct ProcessGroup {
    std::string id{};
    std::string canonicalName{};
    double totalDrainW = 0;
    double totalEnergyWh = 0;
    ProcessDrain iconProcess{};
    std::vector<ProcessDrain> processes{};

    friend bool operator==(const ProcessGroup&, const ProcessGroup&) = default;
};

// Milliseconds spent in the stages of one rebuild.
struct DetailsPipelineMetrics {
    double windowFilterMs = 0;
    double namingMs = 0;
    double aggregationMs = 0;
    double chartBuildMs = 0;
    double totalMs = 0;

    friend bool operator==(const DetailsPipelineMetrics&, const DetailsPipelineMetrics&) = default;
};

struct DetailsPipelineOutput {
    std::vector<ChartPoint> systemPowerPoints{};
    std::vector<ChartPoint> processPowerPoints{};
    std::vector<ChartPoint> componentPowerPoints{};
    std::vector<ChartPoint> unattributedPowerPoints{};
    std::vector<ChartPoint> batteryLevelPoints{};
    bool onBatteryPower = false;
    std::optional<double> batteryDrainRatePerHour{};
    std::vector<ChartSeries> appPowerSeries{};
    std::vector<ChartSeries> appEnergySeries{};
    std::vector<ProcessGroup> processGroups{};
    std::vector<HiddenDrain> hiddenDrains{};
    std::map<std::string, double> hiddenTotalWhByID{};
    ComponentAverages componentAverages{};
    EnergyUsageSummary energySummary{};
    DrainSnapshot rangeSnapshot{};
    DetailsPipelineMetrics metrics{};
    int64_t snapshotCount = 0;
    Date windowStart{};
    Date windowEnd{};

    friend bool operator==(const DetailsPipelineOutput&, const DetailsPipelineOutput&) = default;
};

struct WindowedProcessSummary {
    double totalWh = 0;
    std::map<std::string, double> groupedWhByName{};
    std::vector<ProcessGroup> processGroups{};
    DrainSnapshot rangeSnapshot{};

    friend bool operator==(const WindowedProcessSummary&, const WindowedProcessSummary&) = default;
};

// A history of snapshots with the energy summary of the same snapshots.
struct SnapshotHistoryReadModel {
    std::vector<DrainSnapshot> snapshots{};
    EnergyUsageSummary energyUsageSummary{};

    friend bool operator==(const SnapshotHistoryReadModel&,
                           const SnapshotHistoryReadModel&) = default;
};

}  // namespace joulix
