// The details read model: one window's details computed from the store's window queries.
#include "SharedModels/Presentation/DetailsAggregation.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

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

// Points kept per chart series: a month of 5-second rows would be half a million.
constexpr std::size_t maxChartPoints = 2000;

// At most maxChartPoints, chosen as the graph engine down-samples its trend: consecutive
// buckets of ⌈count ÷ max⌉ points become their mean value at the time of their middle point; the
// exact first and last points stay; a result still too long keeps every k-th point and the last.
std::vector<ChartPoint> downsampled(std::vector<ChartPoint> points) {
    if (points.size() <= maxChartPoints) return points;
    const std::size_t bucket = (points.size() + maxChartPoints - 1) / maxChartPoints;
    std::vector<ChartPoint> kept;
    for (std::size_t start = 0; start < points.size(); start += bucket) {
        const std::size_t end = std::min(start + bucket, points.size());
        double sum = 0;
        for (std::size_t i = start; i < end; ++i)
            sum += points[i].y;
        ChartPoint mean = points[start + (end - start) / 2];
        mean.y = static_cast<float>(sum / double(end - start));
        kept.push_back(mean);
    }
    kept.front() = points.front();
    if (!(kept.back() == points.back())) kept.push_back(points.back());
    if (kept.size() > maxChartPoints) {
        const std::size_t k = (kept.size() + maxChartPoints - 1) / maxChartPoints;
        std::vector<ChartPoint> every;
        for (std::size_t i = 0; i < kept.size(); i += k)
            every.push_back(kept[i]);
        if (!(every.back() == points.back())) every.push_back(points.back());
        kept = std::move(every);
    }
    return kept;
}

}  // namespace

DetailsPipelineOutput SQLiteSnapshotStore::emptyDetailsReadModel(const DrainSnapshot& fallback) {
    return DetailsDataPipeline::cancelledOutput(fallback);
}

template <class Row, class KeyOf, class WattsOf>
SQLiteSnapshotStore::SamplesByKey
SQLiteSnapshotStore::groupedSamples(const WindowIndex& window, const std::vector<Row>& rows,
                                    KeyOf keyOf, WattsOf wattsOf) {
    SamplesByKey samples;
    for (const Row& row : rows) {  // rows come in window order
        const auto index = window.indexByID.find(row.snapshotID);
        if (index == window.indexByID.end()) continue;
        auto& series = samples[keyOf(row)];
        if (!series.empty() && series.back().first == index->second) {
            series.back().second += wattsOf(row);
        } else {
            series.emplace_back(index->second, wattsOf(row));
        }
    }
    return samples;
}

SQLiteSnapshotStore::WhByKey
SQLiteSnapshotStore::integrateGroupedWatts(const WindowIndex& window, const SamplesByKey& samples) {
    const auto& timestamps = window.timestamps;
    const auto interval = [&](std::size_t start, double startWatts, double endWatts) {
        const double from = timestamps[start], to = timestamps[start + 1];
        if (to <= from) return 0.0;
        return intervalWeight(from, to) * std::max(0.0, (startWatts + endWatts) * 0.5);
    };
    WhByKey whByKey;
    for (const auto& [key, series] : samples) {
        // Each sample closes the interval before it and opens the one after it; an interval
        // whose other end has no sample takes 0 W there.
        double wh = 0;
        for (std::size_t i = 0; i < series.size(); ++i) {
            const auto [index, watts] = series[i];
            const bool joinedBefore = i > 0 && series[i - 1].first + 1 == index;
            if (index > 0) {
                wh += joinedBefore ? interval(index - 1, series[i - 1].second, watts)
                                   : interval(index - 1, 0.0, watts);
            }
            const bool joinedAfter = i + 1 < series.size() && series[i + 1].first == index + 1;
            if (index + 1 < timestamps.size() && !joinedAfter) wh += interval(index, watts, 0.0);
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

namespace {

// Folds the window's process rows per group key as SQLite hands them over: its summed watts at
// each window snapshot where it has rows. Rows of one snapshot come together; a group's rows
// mostly follow each other, so the last group found is tried before the hash lookup.
class ProcessRowFold {
  public:
    using Samples = std::vector<std::pair<std::size_t, double>>;

    explicit ProcessRowFold(const std::unordered_map<int64_t, std::size_t>& indexByID)
        : indexByID_(indexByID) {}

    void add(int64_t snapshotID, std::string_view key, double watts) {
        if (snapshotID != currentID_) {
            currentID_ = snapshotID;
            const auto found = indexByID_.find(snapshotID);
            currentIndex_ = found == indexByID_.end() ? std::nullopt : std::optional(found->second);
        }
        if (!currentIndex_) return;  // in the id range but outside the window
        const std::size_t index = *currentIndex_;
        if (last_ == nullptr || last_->first != key) {
            auto fold = folds_.find(key);
            if (fold == folds_.end()) fold = folds_.emplace(std::string(key), Samples{}).first;
            last_ = &*fold;
        }
        Samples& samples = last_->second;
        if (!samples.empty() && samples.back().first == index) {
            samples.back().second += watts;
        } else {
            samples.emplace_back(index, watts);
        }
    }

    // Per key, its samples in window order (the store's SamplesByKey).
    std::unordered_map<std::string, Samples> finish() {
        std::unordered_map<std::string, Samples> samplesByKey;
        for (auto& [key, samples] : folds_) {
            // Snapshot ids out of time order (a clock set back) leave a key's samples unsorted;
            // rows handed over out of id order would leave a snapshot's sum in parts.
            if (!std::is_sorted(samples.begin(), samples.end())) {
                std::sort(samples.begin(), samples.end());
            }
            mergeEqualIndexes(samples);
            samplesByKey.emplace(key, std::move(samples));
        }
        return samplesByKey;
    }

  private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const {
            return std::hash<std::string_view>{}(key);
        }
    };
    using Folds = std::unordered_map<std::string, Samples, KeyHash, std::equal_to<>>;

    static void mergeEqualIndexes(Samples& samples) {
        if (samples.empty()) return;
        std::size_t kept = 0;
        for (std::size_t i = 1; i < samples.size(); ++i) {
            if (samples[i].first == samples[kept].first) {
                samples[kept].second += samples[i].second;
            } else {
                samples[++kept] = samples[i];
            }
        }
        samples.resize(kept + 1);
    }

    const std::unordered_map<int64_t, std::size_t>& indexByID_;
    Folds folds_;
    Folds::value_type* last_ = nullptr;
    std::optional<int64_t> currentID_;
    std::optional<std::size_t> currentIndex_;
};

// The aggregate's step: one process row (snapshot_id, process_group_key, drain_w).
void foldProcessRow(sqlite3_context* context, int, sqlite3_value** values) {
    try {
        const auto* key = reinterpret_cast<const char*>(sqlite3_value_text(values[1]));
        static_cast<ProcessRowFold*>(sqlite3_user_data(context))
            ->add(sqlite3_value_int64(values[0]),
                  key ? std::string_view(key,
                                         static_cast<std::size_t>(sqlite3_value_bytes(values[1])))
                      : std::string_view(),
                  sqlite3_value_double(values[2]));
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(context);
    }
}

void finishProcessRowFold(sqlite3_context* context) {
    sqlite3_result_null(context);
}

}  // namespace

SQLiteSnapshotStore::FoldedProcessSamples
SQLiteSnapshotStore::fetchFoldedProcessSamples(const WindowIndex& window, int64_t firstID,
                                               int64_t lastID) {
    // The rows are folded inside the query by an aggregate function of ours, read from the
    // covering index alone where the file has it (in snapshot id order, as every index that
    // serves the id range gives them): no row is handed back, which a month of process rows
    // would make the larger part of the read.
    ProcessRowFold fold(window.indexByID);
    constexpr const char* function = "joulix_fold_process_rows";
    if (sqlite3_create_function_v2(db_, function, 3, SQLITE_UTF8, &fold, nullptr, foldProcessRow,
                                   finishProcessRowFold, nullptr) != SQLITE_OK) {
        throw SnapshotStoreError::sqlite(sqlite::errorMessage(db_));
    }
    struct Unregister {
        sqlite3* db;
        const char* name;
        ~Unregister() {
            sqlite3_create_function_v2(db, name, 3, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
        }
    } unregister{db_, function};
    // A window that reaches the newest snapshot id needs no upper bound, whose comparison on
    // every row would be a sixth of the scan.
    SQLiteStatement newest(db_, "SELECT MAX(id) FROM snapshots;");
    newest.stepRow();
    const bool toTheEnd = lastID >= newest.rowID(0);
    SQLiteStatement statement(
        db_, std::string("SELECT joulix_fold_process_rows(snapshot_id, process_group_key, "
                         "drain_w)\n"
                         "FROM process_samples\n") +
                 (toTheEnd ? "WHERE snapshot_id >= ?;"
                           : "WHERE snapshot_id >= ? AND snapshot_id <= ?;"));
    statement.bindRowID(1, firstID);
    if (!toTheEnd) statement.bindRowID(2, lastID);
    statement.stepRow();
    FoldedProcessSamples folded;
    folded.samplesByKey = fold.finish();

    // Each group's name: the greatest `canonical_name` of its rows in its newest snapshot.
    SQLiteStatement name(db_, "SELECT MAX(canonical_name) FROM process_samples\n"
                              "WHERE snapshot_id = ? AND process_group_key = ?;");
    for (const auto& [key, samples] : folded.samplesByKey) {
        name.reset();
        name.bindRowID(1, window.ids[samples.back().first]);
        name.bindText(2, key);
        name.stepRow();
        folded.nameByKey.emplace(key, name.text(0));
    }
    return folded;
}

SQLiteSnapshotStore::GroupedProcessData SQLiteSnapshotStore::buildGroupedProcessData(
    const DrainSnapshot& latestSnapshot, const WindowIndex& window, FoldedProcessSamples folded) {
    GroupedProcessData data;
    data.samplesByKey = std::move(folded.samplesByKey);
    data.whByKey = integrateGroupedWatts(window, data.samplesByKey);
    data.nameByKey = std::move(folded.nameByKey);
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
SQLiteSnapshotStore::buildHiddenData(const DrainSnapshot& latestSnapshot, const WindowIndex& window,
                                     const std::vector<GroupedHiddenWindowRow>& groupedRows) {
    HiddenData data{
        latestSnapshot.hidden,
        integrateGroupedWatts(window,
                              groupedSamples(
                                  window, groupedRows, [](const auto& row) { return row.hiddenID; },
                                  [](const auto& row) { return row.drainWatts; }))};
    std::stable_sort(
        data.hidden.begin(), data.hidden.end(),
        [](const HiddenDrain& a, const HiddenDrain& b) { return a.drainW > b.drainW; });
    return data;
}

SQLiteSnapshotStore::AppSeriesReadModel
SQLiteSnapshotStore::buildAppSeries(const GroupedProcessData& groups, const WindowIndex& window,
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
        const auto& windowTimestamps = window.timestamps;
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
        // Down-sampled at once, so that only one full-length series is held at a time.
        power.points = downsampled(std::move(power.points));
        energy.points = downsampled(std::move(energy.points));
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
    const auto [rows, summary] = fetchDetailsWindow(cutoff, anchor);
    if (rows.empty()) return emptyDetailsReadModel(fallbackSnapshot);

    DetailsPipelineOutput output;
    output.rangeSnapshot = fetchSnapshot(rows.back().id).value_or(fallbackSnapshot);
    const auto hiddenRows = fetchGroupedHiddenWindowRows(cutoff, anchor);

    const double reference = rows.back().timestamp;
    WindowIndex window;
    window.timestamps.reserve(rows.size());
    window.ids.reserve(rows.size());
    window.indexByID.reserve(rows.size());
    for (auto* points : {&output.systemPowerPoints, &output.processPowerPoints,
                         &output.componentPowerPoints, &output.unattributedPowerPoints}) {
        points->reserve(rows.size());
    }
    std::vector<G::BatteryReading> levels;
    for (const auto& row : rows) {
        window.indexByID.emplace(row.id, window.timestamps.size());
        window.timestamps.push_back(row.timestamp);
        window.ids.push_back(row.id);
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

    const auto [firstID, lastID] = std::minmax_element(
        rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    auto groups = buildGroupedProcessData(
        output.rangeSnapshot, window, fetchFoldedProcessSamples(window, firstID->id, lastID->id));
    auto hidden = buildHiddenData(output.rangeSnapshot, window, hiddenRows);
    auto series =
        buildAppSeries(groups, window, Date::fromTimeIntervalSince1970(reference), maxAppSeries);
    output.onBatteryPower = rows.back().onBatteryPower.value_or(false);
    output.batteryDrainRatePerHour = G::drainRatePerHour(levels);
    output.appPowerSeries = std::move(series.power);
    output.appEnergySeries = std::move(series.energy);
    for (auto* points :
         {&output.systemPowerPoints, &output.processPowerPoints, &output.componentPowerPoints,
          &output.unattributedPowerPoints, &output.batteryLevelPoints}) {
        *points = downsampled(std::move(*points));
    }
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
