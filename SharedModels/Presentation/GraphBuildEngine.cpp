#include "SharedModels/Presentation/GraphBuildEngine.h"

#include "SharedModels/AppConfiguration.h"
#include "SharedModels/SnapshotMeasures.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>

namespace joulix::GraphBuildEngine {
namespace {

double secondsBetween(Date earlier, Date later) {
    return later.timeIntervalSinceReferenceDate - earlier.timeIntervalSinceReferenceDate;
}

// Hours of one interval: dt ÷ 3600, gaps capped at one minute.
double intervalHours(double dt) {
    return dt > maxIntervalSeconds ? maxIntervalSeconds / 3600.0 : dt / 3600.0;
}

double meanFloored(double a, double b) {
    return std::max(0.0, (a + b) * 0.5);
}

int64_t strideFor(std::size_t count, int64_t maxPoints) {
    return std::max<int64_t>(static_cast<int64_t>(count) / std::max<int64_t>(maxPoints, 1), 1);
}

int64_t ceilingRatio(std::size_t count, int64_t maxPoints) {
    const auto divisor = static_cast<std::size_t>(std::max<int64_t>(maxPoints, 1));
    return std::max<int64_t>(static_cast<int64_t>((count + divisor - 1) / divisor), 1);
}

// The four power values of a trend point, for the steps that treat them alike.
constexpr double PowerTrendPoint::*powerValues[] = {
    &PowerTrendPoint::totalW, &PowerTrendPoint::processW, &PowerTrendPoint::componentW,
    &PowerTrendPoint::unattributedW};
constexpr double PowerTrendPoint::*splitValues[] = {
    &PowerTrendPoint::processW, &PowerTrendPoint::componentW, &PowerTrendPoint::unattributedW};

}  // namespace

double snapshotQuality(const DrainSnapshot& snapshot) {
    return joulix::snapshotQuality(snapshot.totalDischargeW, processTotalWatts(snapshot));
}

std::string trackerPrefix() {
    return AppConfiguration::bundleIdentifierPrefix();
}

bool isTrackerProcess(const ProcessDrain& process, const std::string& prefix) {
    return joulix::isTrackerProcess(process.name, process.bundleID, prefix);
}

double trackerDrainWatts(const DrainSnapshot& snapshot, const std::string& prefix) {
    double sum = 0;
    for (const auto& process : snapshot.processes) {
        if (isTrackerProcess(process, prefix)) sum += countedDrain(process.drainW);
    }
    return sum;
}

bool isNondecreasingHistory(std::span<const DrainSnapshot> snapshots) {
    return std::is_sorted(
        snapshots.begin(), snapshots.end(),
        [](const DrainSnapshot& a, const DrainSnapshot& b) { return a.timestamp < b.timestamp; });
}

NormalizedAppend appendNormalizedSnapshot(DrainSnapshot snapshot,
                                          std::vector<DrainSnapshot>& into) {
    if (into.empty() || std::abs(secondsBetween(into.back().timestamp, snapshot.timestamp)) >
                            nearDuplicateSeconds) {
        into.push_back(std::move(snapshot));
        return NormalizedAppend::appended;
    }
    if (snapshotQuality(into.back()) <= snapshotQuality(snapshot)) {
        into.back() = std::move(snapshot);
        return NormalizedAppend::replaced;
    }
    return NormalizedAppend::dropped;
}

std::vector<DrainSnapshot> normalizedHistory(std::vector<DrainSnapshot> source,
                                             std::stop_token stop) {
    std::vector<DrainSnapshot> kept;
    if (source.empty()) return kept;
    if (!isNondecreasingHistory(source)) {
        std::stable_sort(source.begin(), source.end(),
                         [](const DrainSnapshot& a, const DrainSnapshot& b) {
                             return a.timestamp < b.timestamp;
                         });
    }
    kept.reserve(source.size());
    for (auto& snapshot : source) {
        if (stop.stop_requested()) break;
        appendNormalizedSnapshot(std::move(snapshot), kept);
    }
    return kept;
}

std::size_t windowStartIndex(std::span<const DrainSnapshot> normalized, double seconds) {
    if (normalized.empty()) return 0;
    const double cutoff = normalized.back().timestamp.timeIntervalSinceReferenceDate - seconds;
    const auto first =
        std::find_if(normalized.begin(), normalized.end(), [cutoff](const DrainSnapshot& snapshot) {
            return snapshot.timestamp.timeIntervalSinceReferenceDate >= cutoff;
        });
    return first == normalized.end() ? normalized.size() - 1
                                     : static_cast<std::size_t>(first - normalized.begin());
}

void applyInterval(const PreparedSnapshot& previous, const PreparedSnapshot& current,
                   double multiplier, MutableIntervalAccumulation& into) {
    const double dt = secondsBetween(previous.snapshot.timestamp, current.snapshot.timestamp);
    if (dt <= 0) return;
    const double hours = intervalHours(dt);
    const double weight = hours * multiplier;
    into.sampleHours += weight;

    const DrainSnapshot& a = previous.snapshot;
    const DrainSnapshot& b = current.snapshot;
    const double totalEnergy = weight * meanFloored(a.totalDischargeW, b.totalDischargeW);
    into.totalWh += totalEnergy;
    into.trackerWh += weight * meanFloored(previous.trackerW, current.trackerW);
    into.processWh += weight * meanFloored(previous.processW, current.processW);
    into.screenWh += weight * meanFloored(a.components.screenW, b.components.screenW);
    into.usbWh += weight * meanFloored(a.components.usbW, b.components.usbW);
    into.unattributedWh += weight * meanFloored(a.unattributedW, b.unattributedW);
    const bool onBattery = current.onBatteryPower.value_or(previous.onBatteryPower == true);
    if (onBattery) into.batteryWh += totalEnergy;

    accumulateAverageEnergy(previous.processWattsByIdentity, current.processWattsByIdentity, weight,
                            into.processWhByIdentity);
    accumulateAverageEnergy(previous.hiddenWattsByIdentity, current.hiddenWattsByIdentity, weight,
                            into.hiddenWhByIdentity);
    accumulateAverageEnergy(previous.appWattsByName, current.appWattsByName, weight,
                            into.appWhByName);
}

double trackedHours(std::span<const PreparedSnapshot> prepared) {
    if (prepared.size() < 2) return 0;
    return secondsBetween(prepared.front().snapshot.timestamp, prepared.back().snapshot.timestamp) /
           3600.0;
}

IntervalAccumulation finishedAccumulation(MutableIntervalAccumulation sums, double hours) {
    return IntervalAccumulation{.totalWh = sums.totalWh,
                                .batteryWh = sums.batteryWh,
                                .trackerWh = sums.trackerWh,
                                .trackedHours = hours,
                                .sampleHours = sums.sampleHours,
                                .processWh = sums.processWh,
                                .screenWh = sums.screenWh,
                                .usbWh = sums.usbWh,
                                .unattributedWh = sums.unattributedWh,
                                .processWhByIdentity = std::move(sums.processWhByIdentity),
                                .hiddenWhByIdentity = std::move(sums.hiddenWhByIdentity),
                                .appWhByName = std::move(sums.appWhByName)};
}

MutableIntervalAccumulation mutableAccumulation(IntervalAccumulation accumulation) {
    return MutableIntervalAccumulation{
        .totalWh = accumulation.totalWh,
        .batteryWh = accumulation.batteryWh,
        .trackerWh = accumulation.trackerWh,
        .sampleHours = accumulation.sampleHours,
        .processWh = accumulation.processWh,
        .screenWh = accumulation.screenWh,
        .usbWh = accumulation.usbWh,
        .unattributedWh = accumulation.unattributedWh,
        .processWhByIdentity = std::move(accumulation.processWhByIdentity),
        .hiddenWhByIdentity = std::move(accumulation.hiddenWhByIdentity),
        .appWhByName = std::move(accumulation.appWhByName)};
}

IntervalAccumulation accumulateIntervals(std::span<const PreparedSnapshot> prepared,
                                         std::stop_token stop) {
    MutableIntervalAccumulation sums;
    for (std::size_t i = 1; i < prepared.size(); ++i) {
        if (stop.stop_requested()) break;
        applyInterval(prepared[i - 1], prepared[i], 1.0, sums);
    }
    return finishedAccumulation(std::move(sums), trackedHours(prepared));
}

std::vector<PowerTrendPoint> buildBaseTrend(std::span<const PreparedSnapshot> prepared) {
    std::vector<PowerTrendPoint> points;
    points.reserve(prepared.size());
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        const auto& entry = prepared[i];
        points.push_back({.id = static_cast<int64_t>(i),
                          .timestamp = entry.snapshot.timestamp,
                          .totalW = entry.snapshot.totalDischargeW,
                          .processW = entry.processW,
                          .componentW = entry.snapshot.components.displayPlusUsbW(),
                          .unattributedW = entry.snapshot.unattributedW,
                          .onBatteryPower = entry.onBatteryPower.value_or(false)});
    }
    return points;
}

std::vector<PowerTrendPoint> clampRateOfChange(std::vector<PowerTrendPoint> points) {
    for (std::size_t i = 1; i < points.size(); ++i) {
        const PowerTrendPoint& prev = points[i - 1];
        PowerTrendPoint& point = points[i];
        for (const auto value : splitValues) {
            const double own = point.*value;
            if (own > 0.01) continue;
            point.*value =
                point.totalW > 0.5 && prev.*value > 0.01 ? prev.*value : std::max(own, 0.0);
        }
        const double dt = secondsBetween(prev.timestamp, point.timestamp);
        const double step = dt >= 1 && dt * 1.8 >= 4 ? dt * 1.8 : 4.0;
        for (const auto value : powerValues) {
            point.*value = std::clamp(point.*value, prev.*value - step, prev.*value + step);
        }
    }
    return points;
}

std::vector<PowerTrendPoint> replaceTransientDips(std::vector<PowerTrendPoint> points) {
    if (points.size() < 3) return points;
    for (std::size_t i = 1; i + 1 < points.size(); ++i) {
        const PowerTrendPoint& a = points[i - 1];
        const PowerTrendPoint& c = points[i + 1];
        PowerTrendPoint& b = points[i];
        if (b.totalW < 1.0 && a.totalW > 10.0 && c.totalW > 10.0) {
            for (const auto value : powerValues)
                b.*value = (a.*value + c.*value) * 0.5;
        }
    }
    return points;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) return values[middle];
    return (values[middle - 1] + values[middle]) * 0.5;
}

std::vector<PowerTrendPoint> medianFilter(std::vector<PowerTrendPoint> points, std::size_t window) {
    if (points.size() < 3) return points;
    const std::size_t half = std::max<std::size_t>(window / 2, 1);
    std::vector<PowerTrendPoint> filtered = points;
    std::vector<double> values;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::size_t low = i >= half ? i - half : 0;
        const std::size_t high = std::min(i + half, points.size() - 1);
        for (const auto value : powerValues) {
            values.clear();
            for (std::size_t j = low; j <= high; ++j)
                values.push_back(points[j].*value);
            filtered[i].*value = median(values);
        }
    }
    return filtered;
}

std::vector<PowerTrendPoint> exponentialSmooth(std::vector<PowerTrendPoint> points, double alpha) {
    for (std::size_t i = 1; i < points.size(); ++i) {
        for (const auto value : powerValues) {
            points[i].*value = alpha * points[i].*value + (1.0 - alpha) * points[i - 1].*value;
        }
    }
    return points;
}

PowerTrendPoint averagePoint(std::span<const PowerTrendPoint> bucket) {
    PowerTrendPoint average = bucket[bucket.size() / 2];
    for (const auto value : powerValues) {
        double sum = 0;
        for (const auto& point : bucket)
            sum += point.*value;
        average.*value = sum / static_cast<double>(bucket.size());
    }
    return average;
}

std::vector<PowerTrendPoint> downsample(std::span<const PowerTrendPoint> points,
                                        int64_t maxPoints) {
    if (points.size() <= static_cast<std::size_t>(std::max<int64_t>(maxPoints, 0))) {
        return {points.begin(), points.end()};
    }
    const auto bucket = static_cast<std::size_t>(ceilingRatio(points.size(), maxPoints));
    std::vector<PowerTrendPoint> result;
    for (std::size_t start = 0; start < points.size(); start += bucket) {
        result.push_back(
            averagePoint(points.subspan(start, std::min(bucket, points.size() - start))));
    }
    result.front() = points.front();
    if (result.back() != points.back()) result.push_back(points.back());
    if (result.size() > static_cast<std::size_t>(maxPoints)) {
        const auto k = static_cast<std::size_t>(ceilingRatio(result.size(), maxPoints));
        std::vector<PowerTrendPoint> kept;
        for (std::size_t i = 0; i < result.size(); i += k)
            kept.push_back(result[i]);
        if (kept.back() != points.back()) kept.push_back(points.back());
        result = std::move(kept);
    }
    return result;
}

std::vector<PowerTrendPoint> smoothedTrend(std::span<const PreparedSnapshot> prepared) {
    auto trend = buildBaseTrend(prepared);
    if (trend.empty()) return trend;
    trend = clampRateOfChange(std::move(trend));
    trend = replaceTransientDips(std::move(trend));
    trend = medianFilter(std::move(trend), 5);
    return exponentialSmooth(std::move(trend), 0.2);
}

std::vector<EnergyTrendPoint> buildEnergyTrend(std::span<const PowerTrendPoint> trend) {
    std::vector<EnergyTrendPoint> points;
    points.reserve(trend.size());
    double totalWh = 0;
    double batteryWh = 0;
    for (std::size_t i = 0; i < trend.size(); ++i) {
        if (i > 0) {
            const double dt = secondsBetween(trend[i - 1].timestamp, trend[i].timestamp);
            if (dt > 0) {
                const double energy = std::min(dt, maxIntervalSeconds) / 3600.0 *
                                      meanFloored(trend[i - 1].totalW, trend[i].totalW);
                totalWh += energy;
                if (trend[i - 1].onBatteryPower || trend[i].onBatteryPower) batteryWh += energy;
            }
        }
        points.push_back({trend[i].id, trend[i].timestamp, totalWh, batteryWh});
    }
    return points;
}

std::vector<EnergyTrendPoint> downsampleEnergyTrend(std::span<const EnergyTrendPoint> points,
                                                    int64_t maxPoints) {
    std::vector<EnergyTrendPoint> kept;
    if (points.empty()) return kept;
    const auto k = static_cast<std::size_t>(ceilingRatio(points.size(), maxPoints));
    for (std::size_t i = 0; i < points.size(); i += k)
        kept.push_back(points[i]);
    if (kept.back() != points.back()) kept.push_back(points.back());
    return kept;
}

std::vector<BatteryLevelPoint> buildBatteryLevelTrend(std::span<const PreparedSnapshot> prepared,
                                                      int64_t graphMaxPoints) {
    std::vector<std::size_t> withLevel;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        if (prepared[i].batteryLevelPercent) withLevel.push_back(i);
    }
    std::vector<BatteryLevelPoint> points;
    const auto step = static_cast<std::size_t>(strideFor(withLevel.size(), graphMaxPoints));
    for (std::size_t k = 0; k < withLevel.size(); ++k) {
        if (k % step != 0 && k + 1 != withLevel.size()) continue;
        const auto& entry = prepared[withLevel[k]];
        points.push_back({static_cast<int64_t>(withLevel[k]), entry.snapshot.timestamp,
                          *entry.batteryLevelPercent});
    }
    return points;
}

std::optional<double> drainRatePerHour(std::span<const BatteryReading> readings) {
    if (readings.size() < 2) return std::nullopt;
    const double cutoff = readings.back().timestamp.timeIntervalSinceReferenceDate - 900.0;
    const auto recent = std::find_if(readings.begin(), readings.end(), [cutoff](const auto& r) {
        return r.timestamp.timeIntervalSinceReferenceDate >= cutoff;
    });
    const auto chosen =
        readings.end() - recent >= 2 ? readings.subspan(recent - readings.begin()) : readings;
    const double hours = secondsBetween(chosen.front().timestamp, chosen.back().timestamp) / 3600.0;
    if (hours <= 0.01) return std::nullopt;
    return (chosen.back().levelPercent - chosen.front().levelPercent) / hours;
}

std::optional<double> calculateDrainRate(std::span<const PreparedSnapshot> prepared) {
    std::vector<BatteryReading> readings;
    for (const auto& entry : prepared) {
        if (const auto level = entry.batteryLevelPercent)
            readings.push_back({entry.snapshot.timestamp, *level});
    }
    return drainRatePerHour(readings);
}

std::vector<std::string> topAppNames(const WattsByName& appWhByName, std::size_t limit) {
    std::vector<std::pair<std::string, double>> entries(appWhByName.begin(), appWhByName.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<std::string> names;
    for (std::size_t i = 0; i < entries.size() && i < limit; ++i)
        names.push_back(entries[i].first);
    return names;
}

std::vector<AppPowerPoint> buildAppPowerTrend(std::span<const PreparedSnapshot> prepared,
                                              int64_t graphMaxPoints,
                                              std::span<const std::string> topApps) {
    std::vector<AppPowerPoint> points;
    if (prepared.size() < 2 || topApps.empty()) return points;
    const auto stride = static_cast<std::size_t>(strideFor(prepared.size(), graphMaxPoints));
    std::vector<double> smoothed(topApps.size(), 0.0);
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        for (std::size_t app = 0; app < topApps.size(); ++app) {
            const auto found = prepared[i].appWattsByName.find(topApps[app]);
            const double watts = found == prepared[i].appWattsByName.end() ? 0.0 : found->second;
            smoothed[app] = i == 0 ? watts : 0.25 * watts + 0.75 * smoothed[app];
        }
        if (i % stride != 0 && i + 1 != prepared.size()) continue;
        for (std::size_t app = 0; app < topApps.size(); ++app) {
            points.push_back({std::to_string(i) + "-" + topApps[app],
                              prepared[i].snapshot.timestamp, topApps[app], smoothed[app]});
        }
    }
    return points;
}

std::vector<AppPowerPoint> buildAppEnergyTrend(std::span<const PreparedSnapshot> prepared,
                                               int64_t graphMaxPoints,
                                               std::span<const std::string> topApps) {
    std::vector<AppPowerPoint> points;
    if (prepared.size() < 2) return points;
    const auto stride = static_cast<std::size_t>(strideFor(prepared.size(), graphMaxPoints));
    const auto wattsOf = [](const PreparedSnapshot& entry, const std::string& app) {
        const auto found = entry.appWattsByName.find(app);
        return found == entry.appWattsByName.end() ? 0.0 : found->second;
    };
    std::vector<double> runningWh(topApps.size(), 0.0);
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        if (i > 0) {
            const double dt =
                secondsBetween(prepared[i - 1].snapshot.timestamp, prepared[i].snapshot.timestamp);
            if (dt > 0) {
                const double hours = intervalHours(dt);
                for (std::size_t app = 0; app < topApps.size(); ++app) {
                    const double mean = (wattsOf(prepared[i - 1], topApps[app]) +
                                         wattsOf(prepared[i], topApps[app])) *
                                        0.5;
                    if (mean > 0) runningWh[app] += hours * mean;
                }
            }
        }
        if (i % stride != 0 && i + 1 != prepared.size()) continue;
        for (std::size_t app = 0; app < topApps.size(); ++app) {
            points.push_back({std::to_string(i) + "-e-" + topApps[app],
                              prepared[i].snapshot.timestamp, topApps[app], runningWh[app]});
        }
    }
    return points;
}

float chartOffset(Date timestamp, Date referenceTimestamp) {
    return static_cast<float>(secondsBetween(referenceTimestamp, timestamp));
}

std::vector<ChartSeries> chartSeries(std::span<const AppPowerPoint> points,
                                     Date referenceTimestamp) {
    std::vector<ChartSeries> series;
    for (const auto& point : points) {
        auto found = std::find_if(series.begin(), series.end(),
                                  [&](const ChartSeries& s) { return s.label == point.appName; });
        if (found == series.end()) {
            series.push_back({text::lowercased(point.appName), point.appName, {}});
            found = series.end() - 1;
        }
        found->points.push_back({point.timestamp, chartOffset(point.timestamp, referenceTimestamp),
                                 static_cast<float>(point.watts)});
    }
    return series;
}

ComponentAverages buildComponentAverages(std::span<const PreparedSnapshot> prepared,
                                         const DrainSnapshot& selectedSnapshot,
                                         const IntervalAccumulation& accumulation) {
    if (prepared.size() >= 2 && accumulation.sampleHours > 0) {
        const double hours = accumulation.sampleHours;
        return ComponentAverages{.totalW = accumulation.totalWh / hours,
                                 .processW = accumulation.processWh / hours,
                                 .screenW = accumulation.screenWh / hours,
                                 .usbW = accumulation.usbWh / hours,
                                 .unattributedW = accumulation.unattributedWh / hours};
    }
    const ComponentDrain& components = selectedSnapshot.components;
    return ComponentAverages{.totalW = selectedSnapshot.totalDischargeW,
                             .processW = processTotalWatts(selectedSnapshot),
                             .screenW = components.screenW,
                             .usbW = components.usbW,
                             .unattributedW = selectedSnapshot.unattributedW,
                             .cpuW = components.cpuW,
                             .gpuW = components.gpuW,
                             .aneW = components.aneW,
                             .ramW = components.ramW,
                             .pciW = components.pciW};
}

EnergyUsageSummary energySummary(const IntervalAccumulation& accumulation) {
    return EnergyUsageSummary{accumulation.totalWh, accumulation.batteryWh,
                              accumulation.trackedHours, accumulation.trackerWh};
}

}  // namespace joulix::GraphBuildEngine
