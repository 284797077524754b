#pragma once
// The records of the graph build engine: the period and request of a build, the prepared form
// of a snapshot, the energy sums over a window's intervals, the trend points the history screens
// draw, the summaries, and the payload of one build. Plain values, compared member by member.
#include "SharedModels/ComponentProfiler.h"
#include "SharedModels/Date.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/ProcessPresentationContext.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace joulix {

struct GraphPeriodSpec {
    std::string label{};
    double seconds = 0;          // window length
    int64_t graphMaxPoints = 1;  // at least 1

    friend bool operator==(const GraphPeriodSpec&, const GraphPeriodSpec&) = default;
};

struct GraphBuildRequest {
    std::vector<DrainSnapshot> sourceRaw{};
    DrainSnapshot fallbackSnapshot{};
    GraphPeriodSpec period{};

    friend bool operator==(const GraphBuildRequest&, const GraphBuildRequest&) = default;
};

// A request whose snapshots stay the caller's: what the builds read.
struct GraphBuildRequestView {
    std::span<const DrainSnapshot> sourceRaw{};
    DrainSnapshot fallbackSnapshot{};
    GraphPeriodSpec period{};
};

// Application names map to watts or Wh in name order, so equal energies rank by name.
using WattsByName = std::map<std::string, double>;

// One snapshot with the sums the interval accumulation and the trends read.
struct PreparedSnapshot {
    DrainSnapshot snapshot{};
    WattsByName appWattsByName{};
    std::unordered_map<ProcessIdentity, double> processWattsByIdentity{};
    std::unordered_map<HiddenIdentity, double> hiddenWattsByIdentity{};
    double processW = 0;
    double trackerW = 0;
    std::optional<bool> onBatteryPower{};
    std::optional<double> batteryLevelPercent{};

    friend bool operator==(const PreparedSnapshot&, const PreparedSnapshot&) = default;
};

// The normalised source, its window, the window's prepared snapshots and the naming context.
struct PreparedHistory {
    std::vector<DrainSnapshot> fullSource{};
    std::size_t effectiveStartIndex = 0;
    std::vector<PreparedSnapshot> snapshots{};
    DrainSnapshot selectedSnapshot{};
    ProcessPresentationContext presentationContext{};
    std::unordered_map<HiddenIdentity, HiddenDrain> latestHiddenByIdentity{};

    // The window: fullSource from effectiveStartIndex on (a view, so that extending the history
    // copies no snapshot).
    std::span<const DrainSnapshot> effectiveSource() const {
        return std::span(fullSource).subspan(std::min(effectiveStartIndex, fullSource.size()));
    }

    friend bool operator==(const PreparedHistory&, const PreparedHistory&) = default;
};

// Energy over the intervals of a window (trackedHours aside, MutableIntervalAccumulation is the
// same set of sums while they are being built).
struct MutableIntervalAccumulation {
    double totalWh = 0;
    double batteryWh = 0;
    double trackerWh = 0;
    double sampleHours = 0;
    double processWh = 0;
    double screenWh = 0;
    double usbWh = 0;
    double unattributedWh = 0;
    std::unordered_map<ProcessIdentity, double> processWhByIdentity{};
    std::unordered_map<HiddenIdentity, double> hiddenWhByIdentity{};
    WattsByName appWhByName{};

    friend bool operator==(const MutableIntervalAccumulation&,
                           const MutableIntervalAccumulation&) = default;
};

struct IntervalAccumulation {
    double totalWh = 0;
    double batteryWh = 0;
    double trackerWh = 0;
    double trackedHours = 0;
    double sampleHours = 0;
    double processWh = 0;
    double screenWh = 0;
    double usbWh = 0;
    double unattributedWh = 0;
    std::unordered_map<ProcessIdentity, double> processWhByIdentity{};
    std::unordered_map<HiddenIdentity, double> hiddenWhByIdentity{};
    WattsByName appWhByName{};

    friend bool operator==(const IntervalAccumulation&, const IntervalAccumulation&) = default;
};

struct PowerTrendPoint {
    int64_t id = 0;
    Date timestamp{};
    double totalW = 0;
    double processW = 0;
    double componentW = 0;
    double unattributedW = 0;
    bool onBatteryPower = false;

    friend bool operator==(const PowerTrendPoint&, const PowerTrendPoint&) = default;
};

struct EnergyTrendPoint {
    int64_t id = 0;
    Date timestamp{};
    double totalWh = 0;
    double batteryWh = 0;

    friend bool operator==(const EnergyTrendPoint&, const EnergyTrendPoint&) = default;
};

struct AppPowerPoint {
    std::string id{};
    Date timestamp{};
    std::string appName{};
    double watts = 0;

    friend bool operator==(const AppPowerPoint&, const AppPowerPoint&) = default;
};

struct BatteryLevelPoint {
    int64_t id = 0;
    Date timestamp{};
    double levelPercent = 0;

    friend bool operator==(const BatteryLevelPoint&, const BatteryLevelPoint&) = default;
};

struct ChartPoint {
    Date timestamp{};
    float xOffset = 0;  // seconds from the chart's reference time
    float y = 0;

    friend bool operator==(const ChartPoint&, const ChartPoint&) = default;
};

struct ChartSeries {
    std::string id{};
    std::string label{};
    std::vector<ChartPoint> points{};

    friend bool operator==(const ChartSeries&, const ChartSeries&) = default;
};

struct ComponentAverages {
    double totalW = 0;
    double processW = 0;
    double screenW = 0;
    double usbW = 0;
    double unattributedW = 0;
    double cpuW = 0;
    double gpuW = 0;
    double aneW = 0;
    double ramW = 0;
    double pciW = 0;

    friend bool operator==(const ComponentAverages&, const ComponentAverages&) = default;
};

struct EnergyUsageSummary {
    double totalWh = 0;
    double batteryWh = 0;
    double trackedHours = 0;
    double trackerWh = 0;

    friend bool operator==(const EnergyUsageSummary&, const EnergyUsageSummary&) = default;
};

// Elapsed milliseconds of the steps of one payload build.
struct GraphBuildMetrics {
    double normalizedMs = 0;
    double summaryMs = 0;
    double totalsMs = 0;
    double trendsMs = 0;
    double appSeriesMs = 0;
    double totalMs = 0;

    friend bool operator==(const GraphBuildMetrics&, const GraphBuildMetrics&) = default;
};

// The process table of a window: visible rows, their energy and their members.
struct UnifiedProcessDataset {
    std::vector<ProcessDrain> processes{};
    std::unordered_map<std::string, double> processTotalWhByID{};
    std::unordered_map<std::string, std::vector<ProcessDrain>> processSubprocessesByID{};

    friend bool operator==(const UnifiedProcessDataset&, const UnifiedProcessDataset&) = default;
};

struct GraphBuildPayload {
    DrainSnapshot selectedRangeSnapshot{};
    EnergyUsageSummary rangeEnergySummary{};
    ComponentAverages rangeComponentAverage{};
    std::unordered_map<std::string, double> processTotalWhByID{};
    std::unordered_map<std::string, std::vector<ProcessDrain>> processSubprocessesByID{};
    std::map<std::string, double> hiddenTotalWhByID{};
    std::vector<ProcessDrain> rangeProcesses{};
    std::vector<HiddenDrain> rangeHidden{};
    std::vector<BatteryLevelPoint> batteryLevel{};
    std::optional<double> batteryDrainRatePerHour{};
    std::vector<PowerTrendPoint> smoothedTrend{};
    std::vector<EnergyTrendPoint> energyTrend{};
    std::vector<AppPowerPoint> appPowerTrend{};
    std::vector<AppPowerPoint> appEnergyTrend{};
    GraphBuildMetrics metrics{};

    friend bool operator==(const GraphBuildPayload&, const GraphBuildPayload&) = default;
};

// Where the builders' timing spans go: the profiler, the correlation id of the request, and the
// component the spans hang under.
struct GraphProfilingContext {
    ComponentProfiler* profiler = nullptr;
    std::string correlationID{};
    std::optional<std::string> parentComponent{};
};

}  // namespace joulix
