#pragma once
// The stages of the details pipeline that do not name processes: the window filter, the
// aggregation of a window's snapshots into energies and per-snapshot series (application groups
// keyed by a name the caller gives), and the chart building from that aggregation.
#include "SharedModels/Presentation/DetailsRecords.h"
#include "SharedModels/Presentation/GraphBuildEngine.h"

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace joulix::DetailsDataPipeline {

// What a cancelled rebuild gives back: everything empty or zero around the fallback snapshot.
DetailsPipelineOutput cancelledOutput(const DrainSnapshot& fallbackSnapshot);

// Sorted, free of near duplicates, and cut to the suffix within windowSeconds of the newest
// snapshot; the fallback alone when nothing remains.
std::vector<DrainSnapshot> windowFilter(std::vector<DrainSnapshot> sourceRaw,
                                        const DrainSnapshot& fallbackSnapshot, double windowSeconds,
                                        std::stop_token stop = {});

// Every process of every snapshot has a display or canonical name that is not blank.
bool hasStoredPresentationData(std::span<const DrainSnapshot> snapshots);

// The application group a process belongs to.
using AppGroupNamer = std::function<std::string(const ProcessDrain&)>;

struct AppWattsSample {
    Date timestamp{};
    std::map<std::size_t, double> appWatts{};  // application group index → watts
};

struct AggregationResult {
    std::vector<PowerTrendPoint> systemPowerRaw{};
    std::vector<GraphBuildEngine::BatteryReading> batteryLevelRaw{};
    std::vector<AppWattsSample> appWattsPerSnapshot{};
    std::vector<std::string> appGroupNames{};
    double totalWh = 0;
    double batteryWh = 0;
    double trackerWh = 0;
    double processWh = 0;
    double screenWh = 0;
    double usbWh = 0;
    double unattributedWh = 0;
    double cpuWh = 0;
    double gpuWh = 0;
    double aneWh = 0;
    double ramWh = 0;
    double pciWh = 0;
    double sampleHours = 0;
    std::vector<double> appWhByIndex{};
    std::map<std::string, double> hiddenWhByID{};
    std::map<std::string, HiddenDrain> latestHiddenByID{};
    Date windowStart{};
    Date windowEnd{};
    int64_t snapshotCount = 0;
    std::optional<GraphBuildEngine::BatteryReading> firstBatteryLevel{};
    std::optional<GraphBuildEngine::BatteryReading> lastBatteryLevel{};
    std::vector<GraphBuildEngine::BatteryReading> recentBatteryLevels{};
};

// Energies and per-snapshot series of the windowed snapshots; a cancelled aggregation ends early.
AggregationResult aggregate(std::span<const DrainSnapshot> snapshots, const AppGroupNamer& appOf,
                            std::stop_token stop = {});

// The first three steps of the graph engine's trend chain (clamp, dips, median over five).
std::vector<PowerTrendPoint> smoothSystemPower(std::vector<PowerTrendPoint> raw);

// The recent readings when there are two, else the first and last; see drainRatePerHour.
std::optional<double>
calculateDrainRate(const std::optional<GraphBuildEngine::BatteryReading>& first,
                   const std::optional<GraphBuildEngine::BatteryReading>& last,
                   std::span<const GraphBuildEngine::BatteryReading> recent);

// Per drawn group, its watts smoothed by a quarter (power) or its running Wh (energy).
std::vector<ChartSeries> buildAppPowerSeries(const AggregationResult& aggregation,
                                             std::span<const std::size_t> topAppIndices,
                                             Date referenceTimestamp, int64_t maxChartPoints);
std::vector<ChartSeries> buildAppEnergySeries(const AggregationResult& aggregation,
                                              std::span<const std::size_t> topAppIndices,
                                              Date referenceTimestamp, int64_t maxChartPoints);

// Energies per component in the order of ComponentAverages (total, process, screen, USB,
// unattributed, CPU, GPU, ANE, RAM, PCI).
using ComponentEnergies = std::array<double, 10>;
// Each energy ÷ sampleHours when the window has sample time; otherwise the range snapshot's own
// watts, negatives counted 0.
ComponentAverages componentAverages(const ComponentEnergies& windowWh, double sampleHours,
                                    const DrainSnapshot& rangeSnapshot);

// Energy per application group name.
std::map<std::string, double> appWhByName(const AggregationResult& aggregation);

// Everything of the output but the process groups and the metrics: charts, drain rate,
// application series, hidden workloads, averages, summary and window.
DetailsPipelineOutput buildOutput(const AggregationResult& aggregation,
                                  std::span<const DrainSnapshot> windowed,
                                  const DrainSnapshot& fallbackSnapshot, int64_t maxChartPoints);

}  // namespace joulix::DetailsDataPipeline
