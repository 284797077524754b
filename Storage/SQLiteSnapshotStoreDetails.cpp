// The details read model: one window's details computed from the store's window queries.
#include "SharedModels/Presentation/DetailsAggregation.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"

#include <algorithm>
#include <chrono>

namespace joulix {
namespace G = GraphBuildEngine;

namespace {

ChartPoint chartPoint(double timestamp, double reference, double value) {
    return {Date::fromTimeIntervalSince1970(timestamp), static_cast<float>(timestamp - reference),
            static_cast<float>(value)};
}

double intervalWeight(double previous, double current) {
    return std::min(current - previous, G::maxIntervalSeconds) / 3600.0;
}

}  // namespace

DetailsPipelineOutput SQLiteSnapshotStore::emptyDetailsReadModel(const DrainSnapshot& fallback) {
    return DetailsDataPipeline::cancelledOutput(fallback);
}

template <class Row, class KeyOf, class WattsOf>
SQLiteSnapshotStore::SamplesByKey
SQLiteSnapshotStore::groupedSamples(const std::vector<double>& windowTimestamps,
                                    const std::vector<Row>& rows, KeyOf keyOf, WattsOf wattsOf) {
    SamplesByKey samples;
    std::size_t index = 0;
    for (const Row& row : rows) {  // rows come in time order
        while (index < windowTimestamps.size() && windowTimestamps[index] < row.timestamp)
            ++index;
        if (index == windowTimestamps.size()) break;
        auto& series = samples[keyOf(row)];
        if (!series.empty() && series.back().first == index) {
            series.back().second += wattsOf(row);
        } else {
            series.emplace_back(index, wattsOf(row));
        }
    }
    return samples;
}

SQLiteSnapshotStore::WhByKey
SQLiteSnapshotStore::integrateGroupedWatts(const std::vector<double>& windowTimestamps,
                                           const SamplesByKey& samples) {
    WhByKey whByKey;
    for (const auto& [key, series] : samples) {
        double wh = 0;
        for (std::size_t i = 1; i < series.size(); ++i) {
            const auto& [previousIndex, previousWatts] = series[i - 1];
            const auto& [index, watts] = series[i];
            if (index != previousIndex + 1) continue;
            const double start = windowTimestamps[previousIndex];
            const double end = windowTimestamps[index];
            if (end <= start) continue;
            wh += intervalWeight(start, end) * std::max(0.0, (previousWatts + watts) * 0.5);
        }
        whByKey[key] = wh;
    }
    return whByKey;
}

std::map<std::string, std::string>
SQLiteSnapshotStore::latestCanonicalNameLookup(const DrainSnapshot& latestSnapshot) {
    std::map<std::string, std::string> names;
    for (const auto& process : latestSnapshot.processes) {
        const auto key = ProcessAttributionPresentationService::storedProcessGroupKey(process);
        const auto name = ProcessAttributionPresentationService::storedCanonicalName(process);
        if (key && name) names.try_emplace(*key, *name);
    }
    return names;
}

std::optional<ProcessDrain>
SQLiteSnapshotStore::groupedRepresentative(const DrainSnapshot& latestSnapshot,
                                           const std::string& groupKey) {
    // The member of the group that presents best, the stronger drain among equals.
    std::optional<ProcessDrain> best;
    for (const auto& process : latestSnapshot.processes) {
        if (ProcessAttributionPresentationService::storedProcessGroupKey(process) != groupKey) {
            continue;
        }
        if (!best || process.processPresentationScore() > best->processPresentationScore() ||
            (process.processPresentationScore() == best->processPresentationScore() &&
             process.drainW > best->drainW)) {
            best = process;
        }
    }
    return best;
}

SQLiteSnapshotStore::GroupedProcessData SQLiteSnapshotStore::buildGroupedProcessData(
    const DrainSnapshot& latestSnapshot, const std::vector<double>& windowTimestamps,
    const std::vector<GroupedProcessWindowRow>& groupedRows) {
    GroupedProcessData data;
    data.samplesByKey = groupedSamples(
        windowTimestamps, groupedRows, [](const auto& row) { return row.groupKey; },
        [](const auto& row) { return row.groupWatts; });
    data.whByKey = integrateGroupedWatts(windowTimestamps, data.samplesByKey);
    for (const auto& row : groupedRows)
        data.nameByKey[row.groupKey] = row.canonicalName;
    for (const auto& [key, name] : latestCanonicalNameLookup(latestSnapshot)) {
        data.nameByKey[key] = name;
    }
    for (const auto& [key, wh] : data.whByKey) {
        const std::string& name = data.nameByKey[key];
        ProcessGroup group{.canonicalName = name, .totalEnergyWh = wh};
        for (const auto& process : latestSnapshot.processes) {
            if (ProcessAttributionPresentationService::storedProcessGroupKey(process) != key) {
                continue;
            }
            group.totalDrainW += process.drainW;
            group.processes.push_back(process);
        }
        if (auto representative = groupedRepresentative(latestSnapshot, key)) {
            group.iconProcess = std::move(*representative);
        } else {
            group.iconProcess =
                ProcessDrain{.pid = ProcessAttributionPresentationService::stableSyntheticPID(key),
                             .name = name,
                             .displayName = name,
                             .canonicalName = name,
                             .processGroupKey = key};
            group.processes = {group.iconProcess};
        }
        group.id = group.iconProcess.id();
        data.groups.push_back(std::move(group));
    }
    std::stable_sort(data.groups.begin(), data.groups.end(),
                     [](const ProcessGroup& a, const ProcessGroup& b) {
                         return a.totalEnergyWh > b.totalEnergyWh;
                     });
    return data;
}

SQLiteSnapshotStore::HiddenData
SQLiteSnapshotStore::buildHiddenData(const DrainSnapshot& latestSnapshot,
                                     const std::vector<double>& windowTimestamps,
                                     const std::vector<GroupedHiddenWindowRow>& groupedRows) {
    HiddenData data{latestSnapshot.hidden,
                    integrateGroupedWatts(windowTimestamps,
                                          groupedSamples(
                                              windowTimestamps, groupedRows,
                                              [](const auto& row) { return row.hiddenID; },
                                              [](const auto& row) { return row.drainWatts; }))};
    std::stable_sort(
        data.hidden.begin(), data.hidden.end(),
        [](const HiddenDrain& a, const HiddenDrain& b) { return a.drainW > b.drainW; });
    return data;
}

SQLiteSnapshotStore::AppSeriesReadModel
SQLiteSnapshotStore::buildAppSeries(const GroupedProcessData& groups,
                                    const std::vector<double>& windowTimestamps,
                                    Date referenceTimestamp, int64_t maxAppSeries) {
    std::vector<std::pair<std::string, double>> ranked(groups.whByKey.begin(),
                                                       groups.whByKey.end());
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    ranked.resize(std::min<std::size_t>(
        ranked.size(), static_cast<std::size_t>(std::max<int64_t>(maxAppSeries, 0))));
    const double reference = referenceTimestamp.timeIntervalSince1970();
    AppSeriesReadModel series;
    for (const auto& [key, wh] : ranked) {
        std::vector<double> watts(windowTimestamps.size(), 0.0);
        for (const auto& [index, value] : groups.samplesByKey.at(key))
            watts[index] = value;
        const std::string& name = groups.nameByKey.at(key);
        ChartSeries power{text::lowercased(name), name, {}};
        ChartSeries energy = power;
        double runningWh = 0;
        for (std::size_t i = 0; i < watts.size(); ++i) {
            if (i > 0 && windowTimestamps[i] > windowTimestamps[i - 1]) {
                runningWh += (watts[i - 1] + watts[i]) * 0.5 *
                             intervalWeight(windowTimestamps[i - 1], windowTimestamps[i]);
            }
            power.points.push_back(chartPoint(windowTimestamps[i], reference, watts[i]));
            energy.points.push_back(chartPoint(windowTimestamps[i], reference, runningWh));
        }
        series.power.push_back(std::move(power));
        series.energy.push_back(std::move(energy));
    }
    return series;
}

ComponentAverages SQLiteSnapshotStore::buildComponentAverages(const DetailsWindowSummaryRow& s,
                                                              const DrainSnapshot& range) {
    return DetailsDataPipeline::componentAverages({s.totalWh, s.processWh, s.screenWh, s.usbWh,
                                                   s.unattributedWh, s.cpuWh, s.gpuWh, s.aneWh,
                                                   s.ramWh, s.pciWh},
                                                  s.sampleHours, range);
}

DetailsPipelineOutput
SQLiteSnapshotStore::fetchDetailsReadModel(double windowSeconds, int64_t maxAppSeries,
                                           std::optional<Date> anchorTimestamp,
                                           const DrainSnapshot& fallbackSnapshot) {
    const auto started = std::chrono::steady_clock::now();
    std::lock_guard hold(lock_);
    const auto latest = latestSnapshotSummaryRow();
    const double anchor = anchorTimestamp ? anchorTimestamp->timeIntervalSince1970()
                          : latest        ? latest->timestamp
                                          : fallbackSnapshot.timestamp.timeIntervalSince1970();
    const double cutoff = anchor - std::max(windowSeconds, 1.0);
    const auto rows = fetchWindowSnapshotRows(cutoff, anchor);
    if (rows.empty()) return emptyDetailsReadModel(fallbackSnapshot);

    DetailsPipelineOutput output;
    output.rangeSnapshot = fetchSnapshot(rows.back().id).value_or(fallbackSnapshot);
    const auto summary = fetchDetailsWindowSummary(cutoff, anchor);
    const auto groupedRows = fetchGroupedProcessWindowRows(cutoff, anchor);
    const auto hiddenRows = fetchGroupedHiddenWindowRows(cutoff, anchor);

    const double reference = rows.back().timestamp;
    std::vector<double> timestamps;
    std::vector<G::BatteryReading> levels;
    for (const auto& row : rows) {
        timestamps.push_back(row.timestamp);
        output.systemPowerPoints.push_back(chartPoint(row.timestamp, reference, row.totalWatts));
        output.processPowerPoints.push_back(
            chartPoint(row.timestamp, reference, row.processTotalWatts));
        output.componentPowerPoints.push_back(
            chartPoint(row.timestamp, reference, row.screenWatts + row.usbWatts));
        output.unattributedPowerPoints.push_back(
            chartPoint(row.timestamp, reference, row.unattributedWatts));
        if (row.batteryLevelPercent) {
            output.batteryLevelPoints.push_back(
                chartPoint(row.timestamp, reference, *row.batteryLevelPercent));
            levels.push_back(
                {Date::fromTimeIntervalSince1970(row.timestamp), *row.batteryLevelPercent});
        }
    }

    auto groups = buildGroupedProcessData(output.rangeSnapshot, timestamps, groupedRows);
    auto hidden = buildHiddenData(output.rangeSnapshot, timestamps, hiddenRows);
    auto series = buildAppSeries(groups, timestamps, Date::fromTimeIntervalSince1970(reference),
                                 maxAppSeries);
    output.onBatteryPower = rows.back().onBatteryPower.value_or(false);
    output.batteryDrainRatePerHour = G::drainRatePerHour(levels);
    output.appPowerSeries = std::move(series.power);
    output.appEnergySeries = std::move(series.energy);
    output.processGroups = std::move(groups.groups);
    output.hiddenDrains = std::move(hidden.hidden);
    output.hiddenTotalWhByID = std::move(hidden.whByID);
    output.componentAverages = buildComponentAverages(summary, output.rangeSnapshot);
    output.energySummary = {summary.totalWh, summary.batteryWh, summary.trackedHours,
                            summary.trackerWh};
    output.snapshotCount = static_cast<int64_t>(rows.size());
    output.windowStart = Date::fromTimeIntervalSince1970(rows.front().timestamp);
    output.windowEnd = Date::fromTimeIntervalSince1970(reference);
    output.metrics.totalMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    return output;
}

}  // namespace joulix
