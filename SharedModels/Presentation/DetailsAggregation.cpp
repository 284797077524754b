#include "SharedModels/Presentation/DetailsAggregation.h"

#include "SharedModels/SnapshotMeasures.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <numeric>

namespace joulix::DetailsDataPipeline {
namespace G = GraphBuildEngine;
namespace {

double secondsBetween(Date earlier, Date later) {
    return later.timeIntervalSinceReferenceDate - earlier.timeIntervalSinceReferenceDate;
}

double meanFloored(double a, double b) {
    return std::max(0.0, (a + b) * 0.5);
}

// Point i of n is drawn when i is a multiple of the stride or the last one.
bool isDrawn(std::size_t i, std::size_t count, int64_t maxChartPoints) {
    const auto stride = static_cast<std::size_t>(
        std::max<int64_t>(static_cast<int64_t>(count) / std::max<int64_t>(maxChartPoints, 1), 1));
    return i % stride == 0 || i + 1 == count;
}

// The per-snapshot values the interval rule integrates.
struct SnapshotWatts {
    Date timestamp{};
    std::optional<bool> onBattery{};  // absent without a power context
    double values[11] = {};  // total, tracker, process, screen, USB, unattributed, CPU … PCI
    std::map<std::size_t, double> appWatts{};
    std::map<std::string, double> hiddenWatts{};
};

SnapshotWatts wattsOf(const DrainSnapshot& snapshot, double processW, double trackerW) {
    const ComponentDrain& c = snapshot.components;
    return SnapshotWatts{
        .timestamp = snapshot.timestamp,
        .onBattery = snapshot.powerContext ? std::optional(snapshot.powerContext->onBatteryPower)
                                           : std::nullopt,
        .values = {snapshot.totalDischargeW, trackerW, processW, c.screenW, c.usbW,
                   snapshot.unattributedW, c.cpuW, c.gpuW, c.aneW, c.ramW, c.pciW}};
}

// Every key of either snapshot grows by the mean of its two watts, a missing value counting
// as 0 W (a group absent from one snapshot drew nothing there), when that mean is positive.
template <class Key>
void addKeys(const std::map<Key, double>& previous, const std::map<Key, double>& current,
             double weight, std::map<Key, double>& into) {
    for (const auto& [key, watts] : current) {
        const auto earlier = previous.find(key);
        const double mean = ((earlier == previous.end() ? 0.0 : earlier->second) + watts) * 0.5;
        if (mean > 0) into[key] += weight * mean;
    }
    for (const auto& [key, watts] : previous) {
        if (!current.contains(key) && watts > 0) into[key] += weight * watts * 0.5;
    }
}

void addInterval(const SnapshotWatts& a, const SnapshotWatts& b, AggregationResult& result,
                 std::map<std::size_t, double>& appWh) {
    const double dt = secondsBetween(a.timestamp, b.timestamp);
    if (dt <= G::nearDuplicateSeconds) return;
    const double weight = std::min(dt, G::maxIntervalSeconds) / 3600.0;
    result.sampleHours += weight;
    double* sums[] = {&result.totalWh, &result.trackerWh,      &result.processWh, &result.screenWh,
                      &result.usbWh,   &result.unattributedWh, &result.cpuWh,     &result.gpuWh,
                      &result.aneWh,   &result.ramWh,          &result.pciWh};
    for (std::size_t i = 0; i < std::size(sums); ++i) {
        *sums[i] += weight * meanFloored(a.values[i], b.values[i]);
    }
    // An interval counts on battery when either of its snapshots was on battery.
    if (a.onBattery == true || b.onBattery == true)
        result.batteryWh += weight * meanFloored(a.values[0], b.values[0]);
    addKeys(a.appWatts, b.appWatts, weight, appWh);
    addKeys(a.hiddenWatts, b.hiddenWatts, weight, result.hiddenWhByID);
}

std::vector<ChartPoint> chartPoints(std::span<const PowerTrendPoint> points,
                                    double PowerTrendPoint::*value, Date reference,
                                    int64_t maxChartPoints) {
    std::vector<ChartPoint> drawn;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!isDrawn(i, points.size(), maxChartPoints)) continue;
        drawn.push_back({points[i].timestamp, G::chartOffset(points[i].timestamp, reference),
                         static_cast<float>(points[i].*value)});
    }
    return drawn;
}

// Per drawn group, one value per snapshot from the group's watts along the window.
template <class Step>
std::vector<ChartSeries> appSeries(const AggregationResult& aggregation,
                                   std::span<const std::size_t> topAppIndices, Date reference,
                                   int64_t maxChartPoints, Step step) {
    std::vector<ChartSeries> series;
    const auto& samples = aggregation.appWattsPerSnapshot;
    for (const std::size_t index : topAppIndices) {
        const std::string& name = aggregation.appGroupNames[index];
        ChartSeries line{text::lowercased(name), name, {}};
        double value = 0;
        double previousWatts = 0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto found = samples[i].appWatts.find(index);
            const double watts = found == samples[i].appWatts.end() ? 0.0 : found->second;
            value = i == 0
                        ? step.first(watts)
                        : step.next(value, previousWatts, watts,
                                    secondsBetween(samples[i - 1].timestamp, samples[i].timestamp));
            previousWatts = watts;
            if (!isDrawn(i, samples.size(), maxChartPoints)) continue;
            line.points.push_back({samples[i].timestamp,
                                   G::chartOffset(samples[i].timestamp, reference),
                                   static_cast<float>(value)});
        }
        series.push_back(std::move(line));
    }
    return series;
}

struct SmoothedWatts {
    double first(double watts) const { return watts; }
    double next(double smoothed, double, double watts, double) const {
        return 0.25 * watts + 0.75 * smoothed;
    }
};

struct RunningEnergy {
    double first(double) const { return 0; }
    double next(double runningWh, double previousWatts, double watts, double dt) const {
        const double mean = (previousWatts + watts) * 0.5;
        if (dt <= 0 || mean <= 0) return runningWh;
        return runningWh + std::min(dt, G::maxIntervalSeconds) / 3600.0 * mean;
    }
};

}  // namespace

DetailsPipelineOutput cancelledOutput(const DrainSnapshot& fallbackSnapshot) {
    return DetailsPipelineOutput{.rangeSnapshot = fallbackSnapshot,
                                 .windowStart = fallbackSnapshot.timestamp,
                                 .windowEnd = fallbackSnapshot.timestamp};
}

std::vector<DrainSnapshot> windowFilter(std::vector<DrainSnapshot> sourceRaw,
                                        const DrainSnapshot& fallbackSnapshot, double windowSeconds,
                                        std::stop_token stop) {
    auto kept = G::normalizedHistory(std::move(sourceRaw), stop);
    if (kept.empty()) return {fallbackSnapshot};
    const std::size_t start = G::windowStartIndex(kept, windowSeconds);
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(start));
    return kept;
}

bool hasStoredPresentationData(std::span<const DrainSnapshot> snapshots) {
    const auto named = [](const std::optional<std::string>& name) {
        return name && !text::isBlank(*name);
    };
    return std::all_of(snapshots.begin(), snapshots.end(), [&](const DrainSnapshot& snapshot) {
        return std::all_of(snapshot.processes.begin(), snapshot.processes.end(),
                           [&](const ProcessDrain& process) {
                               return named(process.displayName) || named(process.canonicalName);
                           });
    });
}

AggregationResult aggregate(std::span<const DrainSnapshot> snapshots, const AppGroupNamer& appOf,
                            std::stop_token stop) {
    AggregationResult result;
    if (snapshots.empty()) return result;
    const std::string trackerPrefix = G::trackerPrefix();
    std::map<std::string, std::size_t> indexByName;
    std::map<std::size_t, double> appWh;
    std::optional<SnapshotWatts> previous;
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        if (stop.stop_requested()) break;
        const DrainSnapshot& snapshot = snapshots[i];
        double processW = 0;
        std::map<std::size_t, double> appWatts;
        for (const auto& process : snapshot.processes) {
            const double watts = countedDrain(process.drainW);
            processW += watts;
            const auto [entry, added] = indexByName.try_emplace(appOf(process), indexByName.size());
            if (added) result.appGroupNames.push_back(entry->first);
            appWatts[entry->second] += watts;
        }
        SnapshotWatts current =
            wattsOf(snapshot, processW, G::trackerDrainWatts(snapshot, trackerPrefix));
        current.appWatts = appWatts;
        for (const auto& hidden : snapshot.hidden) {
            current.hiddenWatts[hidden.id()] += countedDrain(hidden.drainW);
            result.latestHiddenByID.insert_or_assign(hidden.id(), hidden);
        }
        result.systemPowerRaw.push_back({.id = static_cast<int64_t>(i),
                                         .timestamp = snapshot.timestamp,
                                         .totalW = snapshot.totalDischargeW,
                                         .processW = processW,
                                         .componentW = snapshot.components.displayPlusUsbW(),
                                         .unattributedW = snapshot.unattributedW,
                                         .onBatteryPower = current.onBattery == true});
        if (snapshot.powerContext && snapshot.powerContext->batteryLevelPercent) {
            result.batteryLevelRaw.push_back(
                {snapshot.timestamp, *snapshot.powerContext->batteryLevelPercent});
        }
        result.appWattsPerSnapshot.push_back({snapshot.timestamp, std::move(appWatts)});
        if (previous) addInterval(*previous, current, result, appWh);
        previous = std::move(current);
    }
    result.appWhByIndex.assign(result.appGroupNames.size(), 0.0);
    for (const auto& [index, wh] : appWh)
        result.appWhByIndex[index] = wh;
    result.windowStart = snapshots.front().timestamp;
    result.windowEnd = snapshots.back().timestamp;
    result.snapshotCount = static_cast<int64_t>(snapshots.size());
    if (!result.batteryLevelRaw.empty()) {
        result.firstBatteryLevel = result.batteryLevelRaw.front();
        result.lastBatteryLevel = result.batteryLevelRaw.back();
    }
    const double recentCutoff = result.windowEnd.timeIntervalSinceReferenceDate - 900.0;
    for (const auto& level : result.batteryLevelRaw) {
        if (level.timestamp.timeIntervalSinceReferenceDate >= recentCutoff) {
            result.recentBatteryLevels.push_back(level);
        }
    }
    return result;
}

std::vector<PowerTrendPoint> smoothSystemPower(std::vector<PowerTrendPoint> raw) {
    raw = G::clampRateOfChange(std::move(raw));
    raw = G::replaceTransientDips(std::move(raw));
    return G::medianFilter(std::move(raw), 5);
}

std::optional<double> calculateDrainRate(const std::optional<G::BatteryReading>& first,
                                         const std::optional<G::BatteryReading>& last,
                                         std::span<const G::BatteryReading> recent) {
    if (!first || !last) return std::nullopt;
    const G::BatteryReading ends[] = {*first, *last};
    const auto used = recent.size() >= 2 ? recent : std::span<const G::BatteryReading>(ends);
    const double hours = secondsBetween(used.front().timestamp, used.back().timestamp) / 3600.0;
    if (hours <= 0.01) return std::nullopt;
    return (used.back().levelPercent - used.front().levelPercent) / hours;
}

std::vector<ChartSeries> buildAppPowerSeries(const AggregationResult& aggregation,
                                             std::span<const std::size_t> topAppIndices,
                                             Date referenceTimestamp, int64_t maxChartPoints) {
    return appSeries(aggregation, topAppIndices, referenceTimestamp, maxChartPoints,
                     SmoothedWatts{});
}

std::vector<ChartSeries> buildAppEnergySeries(const AggregationResult& aggregation,
                                              std::span<const std::size_t> topAppIndices,
                                              Date referenceTimestamp, int64_t maxChartPoints) {
    return appSeries(aggregation, topAppIndices, referenceTimestamp, maxChartPoints,
                     RunningEnergy{});
}

ComponentAverages componentAverages(const ComponentEnergies& windowWh, double sampleHours,
                                    const DrainSnapshot& range) {
    if (sampleHours > 0) {
        ComponentEnergies watts{};
        for (std::size_t i = 0; i < watts.size(); ++i)
            watts[i] = windowWh[i] / sampleHours;
        return {watts[0], watts[1], watts[2], watts[3], watts[4],
                watts[5], watts[6], watts[7], watts[8], watts[9]};
    }
    const auto floored = [](double watts) { return std::max(watts, 0.0); };
    const ComponentDrain& c = range.components;
    return {floored(range.totalDischargeW),
            processTotalWatts(range),
            floored(c.screenW),
            floored(c.usbW),
            floored(range.unattributedW),
            floored(c.cpuW),
            floored(c.gpuW),
            floored(c.aneW),
            floored(c.ramW),
            floored(c.pciW)};
}

std::map<std::string, double> appWhByName(const AggregationResult& aggregation) {
    std::map<std::string, double> byName;
    for (std::size_t i = 0; i < aggregation.appGroupNames.size(); ++i) {
        byName[aggregation.appGroupNames[i]] = aggregation.appWhByIndex[i];
    }
    return byName;
}

DetailsPipelineOutput buildOutput(const AggregationResult& aggregation,
                                  std::span<const DrainSnapshot> windowed,
                                  const DrainSnapshot& fallbackSnapshot, int64_t maxChartPoints) {
    DetailsPipelineOutput output;
    output.rangeSnapshot = windowed.empty() ? fallbackSnapshot : windowed.back();
    const Date reference =
        aggregation.snapshotCount > 0 ? aggregation.windowEnd : output.rangeSnapshot.timestamp;

    const auto smoothed = smoothSystemPower(aggregation.systemPowerRaw);
    output.systemPowerPoints =
        chartPoints(smoothed, &PowerTrendPoint::totalW, reference, maxChartPoints);
    output.processPowerPoints =
        chartPoints(smoothed, &PowerTrendPoint::processW, reference, maxChartPoints);
    output.componentPowerPoints =
        chartPoints(smoothed, &PowerTrendPoint::componentW, reference, maxChartPoints);
    output.unattributedPowerPoints =
        chartPoints(smoothed, &PowerTrendPoint::unattributedW, reference, maxChartPoints);
    const auto& levels = aggregation.batteryLevelRaw;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (!isDrawn(i, levels.size(), maxChartPoints)) continue;
        output.batteryLevelPoints.push_back({levels[i].timestamp,
                                             G::chartOffset(levels[i].timestamp, reference),
                                             static_cast<float>(levels[i].levelPercent)});
    }

    output.onBatteryPower =
        output.rangeSnapshot.powerContext && output.rangeSnapshot.powerContext->onBatteryPower;
    output.batteryDrainRatePerHour =
        calculateDrainRate(aggregation.firstBatteryLevel, aggregation.lastBatteryLevel,
                           aggregation.recentBatteryLevels);

    std::vector<std::size_t> ranked(aggregation.appGroupNames.size());
    std::iota(ranked.begin(), ranked.end(), std::size_t{0});
    std::stable_sort(ranked.begin(), ranked.end(), [&](std::size_t a, std::size_t b) {
        return aggregation.appWhByIndex[a] > aggregation.appWhByIndex[b];
    });
    ranked.resize(std::min<std::size_t>(ranked.size(), 6));
    output.appPowerSeries = buildAppPowerSeries(aggregation, ranked, reference, maxChartPoints);
    output.appEnergySeries = buildAppEnergySeries(aggregation, ranked, reference, maxChartPoints);

    for (const auto& [id, hidden] : aggregation.latestHiddenByID)
        output.hiddenDrains.push_back(hidden);
    std::stable_sort(
        output.hiddenDrains.begin(), output.hiddenDrains.end(),
        [](const HiddenDrain& a, const HiddenDrain& b) { return a.drainW > b.drainW; });
    output.hiddenTotalWhByID = aggregation.hiddenWhByID;

    const AggregationResult& a = aggregation;
    output.componentAverages =
        componentAverages({a.totalWh, a.processWh, a.screenWh, a.usbWh, a.unattributedWh, a.cpuWh,
                           a.gpuWh, a.aneWh, a.ramWh, a.pciWh},
                          a.sampleHours, output.rangeSnapshot);
    output.energySummary = {aggregation.totalWh, aggregation.batteryWh,
                            secondsBetween(aggregation.windowStart, aggregation.windowEnd) / 3600.0,
                            aggregation.trackerWh};
    output.snapshotCount = aggregation.snapshotCount;
    output.windowStart = aggregation.snapshotCount > 0 ? aggregation.windowStart : reference;
    output.windowEnd = aggregation.snapshotCount > 0 ? aggregation.windowEnd : reference;
    return output;
}

}  // namespace joulix::DetailsDataPipeline
