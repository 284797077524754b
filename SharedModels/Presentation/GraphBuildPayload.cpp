// Preparation of a history, its extension from the cache, the payload and the details output.
#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/Presentation/BuildSpan.h"
#include "SharedModels/Presentation/GraphBuildEngine.h"
#include "SharedModels/SnapshotMeasures.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace joulix::GraphBuildEngine {
namespace PAS = ProcessAttributionPresentationService;
namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Residues of subtracted intervals below this (in Wh) are removed, so that an identity that
// left the window is absent, as in a fresh accumulation.
constexpr double subtractionResidueWh = 1e-9;

constexpr std::size_t topApplicationCount = 6;

constexpr std::string_view payloadFunction = "rebuildPayload(request:cacheState:profiling:)";
constexpr std::string_view detailsFunction =
    "rebuildDetailsOutput(sourceRaw:fallbackSnapshot:period:cacheState:profiling:)";

ProcessIdentity identityOf(const ProcessDrain& process) {
    return {process.pid, process.name};
}

// The fields naming reads from a process record.
bool sameNamingFields(const ProcessDrain& a, const ProcessDrain& b) {
    return a.pid == b.pid && a.parentPID == b.parentPID && a.name == b.name &&
           a.bundleID == b.bundleID && a.displayName == b.displayName &&
           a.canonicalName == b.canonicalName && a.processGroupKey == b.processGroupKey;
}

// Adding the snapshots to the context would change no name: every record is one the context
// holds already, under its identity and its pid, with the same naming fields.
bool bringsNothingNew(std::span<const DrainSnapshot> snapshots,
                      const ProcessPresentationContext& context,
                      const std::unordered_set<ProcessIdentity>& knownIdentities) {
    for (const auto& snapshot : snapshots) {
        for (const auto& process : snapshot.processes) {
            const ProcessIdentity identity = identityOf(process);
            if (!knownIdentities.contains(identity)) return false;
            const auto byIdentity = context.latestProcessByIdentity.find(identity);
            const auto byPID = context.latestProcessByPID.find(process.pid);
            if (byIdentity == context.latestProcessByIdentity.end() ||
                byPID == context.latestProcessByPID.end() ||
                !sameNamingFields(byIdentity->second, process) ||
                !sameNamingFields(byPID->second, process)) {
                return false;
            }
        }
    }
    return true;
}

// Every process the earlier context knew keeps its application name.
bool sameAppNames(const ProcessPresentationContext& before,
                  const ProcessPresentationContext& after) {
    if (before.aliasByExecutableLeaf != after.aliasByExecutableLeaf) return false;
    return std::all_of(before.latestProcessByIdentity.begin(), before.latestProcessByIdentity.end(),
                       [&](const auto& entry) {
                           return appName(entry.second, before) == appName(entry.second, after);
                       });
}

std::unordered_map<HiddenIdentity, HiddenDrain>
latestHiddenByID(std::span<const DrainSnapshot> snapshots) {
    std::unordered_map<HiddenIdentity, HiddenDrain> latest;
    for (const auto& snapshot : snapshots) {
        for (const auto& hidden : snapshot.hidden) {
            latest.insert_or_assign(HiddenIdentity{hidden.kind, hidden.identifier}, hidden);
        }
    }
    return latest;
}

// After subtracting intervals, the keys those intervals held whose sum is only a rounding
// residue are removed, so that an identity that left the window is absent, as in a fresh
// accumulation. Sums that were only ever added are kept, however small.
template <class Map> void removeResidues(Map& sums, const Map& previous, const Map& current) {
    for (const Map* subtracted : {&previous, &current}) {
        for (const auto& entry : *subtracted) {
            const auto sum = sums.find(entry.first);
            if (sum != sums.end() && std::abs(sum->second) <= subtractionResidueWh) sums.erase(sum);
        }
    }
}

void subtractInterval(const PreparedSnapshot& previous, const PreparedSnapshot& current,
                      MutableIntervalAccumulation& sums) {
    applyInterval(previous, current, -1.0, sums);
    removeResidues(sums.processWhByIdentity, previous.processWattsByIdentity,
                   current.processWattsByIdentity);
    removeResidues(sums.hiddenWhByIdentity, previous.hiddenWattsByIdentity,
                   current.hiddenWattsByIdentity);
    removeResidues(sums.appWhByName, previous.appWattsByName, current.appWattsByName);
}

// A history and, when the cache carried them forward, its sums.
struct Preparation {
    PreparedHistory history;
    std::optional<IntervalAccumulation> accumulation;
    bool usedCache = false;
};

// The cached sums moved to the extended window: the intervals that left are subtracted with
// the same rule that added them, a replaced last interval is swapped, the new ones are added.
// None when the cached sums belong to another history or most of the window left.
std::optional<IntervalAccumulation> updateAccumulationCacheIfPossible(
    GraphBuildCacheState& cacheState, std::span<const PreparedSnapshot> old,
    std::size_t oldFullSourceCount, std::size_t oldStartIndex, std::size_t removed,
    bool replacedLast, std::span<const PreparedSnapshot> added) {
    if (!cacheState.accumulation || cacheState.accumulationFullSourceCount != oldFullSourceCount ||
        cacheState.accumulationEffectiveStartIndex != oldStartIndex) {
        return std::nullopt;
    }
    const std::size_t n = old.size();
    if (removed + 1 >= n) return std::nullopt;
    MutableIntervalAccumulation sums = mutableAccumulation(std::move(*cacheState.accumulation));
    cacheState.accumulation.reset();
    for (std::size_t i = 0; i < removed; ++i)
        subtractInterval(old[i], old[i + 1], sums);
    const PreparedSnapshot* last = &old[n - 1];
    std::size_t next = 0;
    if (replacedLast) {
        subtractInterval(old[n - 2], old[n - 1], sums);
        applyInterval(old[n - 2], added[0], 1.0, sums);
        last = &added[0];
        next = 1;
    }
    for (; next < added.size(); ++next) {
        applyInterval(*last, added[next], 1.0, sums);
        last = &added[next];
    }
    const double hours = (last->snapshot.timestamp.timeIntervalSinceReferenceDate -
                          old[removed].snapshot.timestamp.timeIntervalSinceReferenceDate) /
                         3600.0;
    return finishedAccumulation(std::move(sums), hours);
}

// The cached history extended by the raw snapshots appended since the cached build, when the
// old source is a prefix of the new one, the appended snapshots do not go back in time, and
// every name the prepared snapshots carry stays the same. The cache's history and sums are
// taken out; none when the cache does not allow the extension.
std::optional<Preparation>
incrementalPreparedHistoryIfPossible(const GraphBuildRequestView& request, bool prepareAppWatts,
                                     GraphBuildCacheState& cacheState) {
    if (!cacheState.preparedHistory || cacheState.period != request.period) return std::nullopt;
    const auto& raw = request.sourceRaw;
    const std::size_t oldRawCount = cacheState.rawSourceCount;
    if (oldRawCount < 1 || raw.size() < oldRawCount) return std::nullopt;
    if (raw.front().timestamp.timeIntervalSince1970() != cacheState.rawEarliestTimestamp ||
        raw[oldRawCount - 1].timestamp.timeIntervalSince1970() != cacheState.rawLatestTimestamp) {
        return std::nullopt;
    }
    const PreparedHistory& cached = *cacheState.preparedHistory;
    if (cached.fullSource.empty()) return std::nullopt;

    // The near-duplicate rule over the appended snapshots, starting from the newest kept one.
    std::vector<DrainSnapshot> tail{cached.fullSource.back()};
    bool replacedLast = false;
    for (std::size_t i = oldRawCount; i < raw.size(); ++i) {
        if (raw[i].timestamp < tail.back().timestamp) return std::nullopt;
        const auto outcome = appendNormalizedSnapshot(raw[i], tail);
        if (outcome == NormalizedAppend::replaced && tail.size() == 1) replacedLast = true;
    }
    const std::size_t appended = tail.size() - 1;
    if (!replacedLast && appended == 0) {
        Preparation same{std::move(*cacheState.preparedHistory), std::nullopt, true};
        cacheState.preparedHistory.reset();
        if (cacheState.accumulation &&
            cacheState.accumulationFullSourceCount == same.history.fullSource.size() &&
            cacheState.accumulationEffectiveStartIndex == same.history.effectiveStartIndex) {
            same.accumulation = std::move(cacheState.accumulation);
        }
        cacheState.accumulation.reset();
        return same;
    }

    const std::span<const DrainSnapshot> kept = std::span(tail).subspan(replacedLast ? 0 : 1);
    PreparedHistory history = std::move(*cacheState.preparedHistory);
    cacheState.preparedHistory.reset();
    const std::size_t oldFullSourceCount = history.fullSource.size();
    if (replacedLast) history.fullSource.back() = tail[0];
    history.fullSource.insert(history.fullSource.end(), tail.begin() + 1, tail.end());
    const std::size_t newStart = windowStartIndex(history.fullSource, request.period.seconds);
    const std::size_t removed = newStart - std::min(newStart, history.effectiveStartIndex);
    if (newStart < history.effectiveStartIndex || removed + 1 >= history.snapshots.size()) {
        return std::nullopt;
    }

    ProcessPresentationContext context;
    if (replacedLast) {
        context = PAS::makeLatestOnlyPresentationContext(history.fullSource);
    } else if (bringsNothingNew(kept, history.presentationContext,
                                cacheState.knownProcessIdentities)) {
        context = history.presentationContext;
    } else {
        context = PAS::appendingPresentationContext(history.presentationContext, kept);
    }
    if (!sameAppNames(history.presentationContext, context)) return std::nullopt;

    const std::string prefix = trackerPrefix();
    std::unordered_map<HiddenIdentity, HiddenDrain> unusedLatestHidden;
    std::vector<PreparedSnapshot> added;
    for (const auto& snapshot : kept) {
        added.push_back(
            prepareSnapshot(snapshot, context, prepareAppWatts, prefix, unusedLatestHidden));
    }
    Preparation result;
    result.accumulation = updateAccumulationCacheIfPossible(
        cacheState, history.snapshots, oldFullSourceCount, history.effectiveStartIndex, removed,
        replacedLast, added);
    cacheState.accumulation.reset();

    auto& prepared = history.snapshots;
    prepared.erase(prepared.begin(), prepared.begin() + static_cast<std::ptrdiff_t>(removed));
    if (replacedLast) prepared.back() = std::move(added.front());
    prepared.insert(prepared.end(), std::make_move_iterator(added.begin() + (replacedLast ? 1 : 0)),
                    std::make_move_iterator(added.end()));
    history.effectiveStartIndex = newStart;
    history.presentationContext = std::move(context);
    history.selectedSnapshot = history.fullSource.back();
    history.latestHiddenByIdentity = latestHiddenByID(history.effectiveSource());
    result.history = std::move(history);
    result.usedCache = true;
    return result;
}

Preparation prepare(const GraphBuildRequestView& request, bool prepareAppWatts,
                    GraphBuildCacheState* cacheState, std::stop_token stop) {
    if (cacheState) {
        if (auto extended =
                incrementalPreparedHistoryIfPossible(request, prepareAppWatts, *cacheState)) {
            return std::move(*extended);
        }
        ++cacheState->fullPreparationCount;
    }
    return Preparation{normalizeAndPrepareSnapshots(request, prepareAppWatts, stop), std::nullopt,
                       false};
}

std::vector<ChartPoint> trendPoints(std::span<const PowerTrendPoint> trend,
                                    double PowerTrendPoint::*value, Date reference) {
    std::vector<ChartPoint> points;
    points.reserve(trend.size());
    for (const auto& point : trend) {
        points.push_back({point.timestamp, chartOffset(point.timestamp, reference),
                          static_cast<float>(point.*value)});
    }
    return points;
}

}  // namespace

std::string appName(const ProcessDrain& process, const ProcessPresentationContext& context) {
    const ProcessIdentity identity = identityOf(process);
    if (const auto found = context.canonicalNameByIdentity.find(identity);
        found != context.canonicalNameByIdentity.end()) {
        return found->second;
    }
    if (const auto found =
            context.aliasByExecutableLeaf.find(text::lowercased(PAS::executableLeaf(process)));
        found != context.aliasByExecutableLeaf.end()) {
        return found->second;
    }
    if (const auto found = context.displayNameByIdentity.find(identity);
        found != context.displayNameByIdentity.end()) {
        return found->second;
    }
    return process.processDisplayName();
}

PreparedSnapshot
prepareSnapshot(const DrainSnapshot& snapshot, const ProcessPresentationContext& context,
                bool prepareAppWatts, const std::string& prefix,
                std::unordered_map<HiddenIdentity, HiddenDrain>& latestHiddenByIdentity) {
    PreparedSnapshot prepared{.snapshot = snapshot};
    for (const auto& process : snapshot.processes) {
        const double watts = countedDrain(process.drainW);
        prepared.processW += watts;
        if (isTrackerProcess(process, prefix)) prepared.trackerW += watts;
        prepared.processWattsByIdentity.insert_or_assign(identityOf(process), watts);
        if (prepareAppWatts) prepared.appWattsByName[appName(process, context)] += watts;
    }
    for (const auto& hidden : snapshot.hidden) {
        const HiddenIdentity identity{hidden.kind, hidden.identifier};
        prepared.hiddenWattsByIdentity.insert_or_assign(identity, countedDrain(hidden.drainW));
        latestHiddenByIdentity.insert_or_assign(identity, hidden);
    }
    if (snapshot.powerContext) {
        prepared.onBatteryPower = snapshot.powerContext->onBatteryPower;
        prepared.batteryLevelPercent = snapshot.powerContext->batteryLevelPercent;
    }
    return prepared;
}

PreparedHistory cancelledPreparedHistory(const DrainSnapshot& fallbackSnapshot) {
    return PreparedHistory{.selectedSnapshot = fallbackSnapshot};
}

PreparedHistory normalizeAndPrepareSnapshots(const GraphBuildRequestView& request,
                                             bool prepareAppWatts, std::stop_token stop) {
    PreparedHistory history;
    history.fullSource =
        normalizedHistory({request.sourceRaw.begin(), request.sourceRaw.end()}, stop);
    history.effectiveStartIndex = windowStartIndex(history.fullSource, request.period.seconds);
    history.presentationContext = PAS::makeLatestOnlyPresentationContext(history.fullSource, stop);
    const std::string prefix = trackerPrefix();
    const auto window = history.effectiveSource();
    history.snapshots.reserve(window.size());
    for (const auto& snapshot : window) {
        if (stop.stop_requested()) break;
        history.snapshots.push_back(prepareSnapshot(snapshot, history.presentationContext,
                                                    prepareAppWatts, prefix,
                                                    history.latestHiddenByIdentity));
    }
    history.selectedSnapshot =
        history.fullSource.empty() ? request.fallbackSnapshot : history.fullSource.back();
    return history;
}

void updateCacheState(GraphBuildCacheState& cacheState, const GraphBuildRequestView& request,
                      PreparedHistory preparedHistory, IntervalAccumulation accumulation) {
    cacheState.period = request.period;
    cacheState.rawSourceCount = request.sourceRaw.size();
    cacheState.rawEarliestTimestamp =
        request.sourceRaw.empty() ? 0 : request.sourceRaw.front().timestamp.timeIntervalSince1970();
    cacheState.rawLatestTimestamp =
        request.sourceRaw.empty() ? 0 : request.sourceRaw.back().timestamp.timeIntervalSince1970();
    cacheState.knownProcessIdentities.clear();
    for (const auto& [identity, process] :
         preparedHistory.presentationContext.latestProcessByIdentity) {
        cacheState.knownProcessIdentities.insert(identity);
    }
    cacheState.accumulationFullSourceCount = preparedHistory.fullSource.size();
    cacheState.accumulationEffectiveStartIndex = preparedHistory.effectiveStartIndex;
    cacheState.accumulation = std::move(accumulation);
    cacheState.preparedHistory = std::move(preparedHistory);
}

UniqueProcessesResult buildProcessOutputs(const PreparedHistory& prepared,
                                          const IntervalAccumulation& accumulation) {
    const ProcessPresentationContext& context = prepared.presentationContext;
    std::unordered_map<std::string, double> whByName;
    for (const auto& [identity, wh] : accumulation.processWhByIdentity) {
        if (!(wh > 0.0001)) continue;
        const auto latest = context.latestProcessByIdentity.find(identity);
        if (latest == context.latestProcessByIdentity.end()) continue;
        std::string name;
        if (const auto found = context.canonicalNameByIdentity.find(identity);
            found != context.canonicalNameByIdentity.end()) {
            name = found->second;
        } else if (const auto shown = context.displayNameByIdentity.find(identity);
                   shown != context.displayNameByIdentity.end()) {
            name = shown->second;
        } else {
            name = latest->second.processDisplayName();
        }
        whByName[name] += wh;
    }
    auto grouped = PAS::groupVisibleProcesses(prepared.selectedSnapshot, context, whByName);
    UniqueProcessesResult result{std::move(grouped.processes),
                                 std::move(grouped.processWhByID),
                                 std::move(grouped.subprocessesByID),
                                 {}};

    const auto hiddenWh = [&](const HiddenDrain& hidden) {
        const auto found =
            accumulation.hiddenWhByIdentity.find(HiddenIdentity{hidden.kind, hidden.identifier});
        return found == accumulation.hiddenWhByIdentity.end() ? 0.0 : found->second;
    };
    for (const auto& [identity, wh] : accumulation.hiddenWhByIdentity) {
        if (!(wh > 0.0001)) continue;
        const auto latest = prepared.latestHiddenByIdentity.find(identity);
        if (latest == prepared.latestHiddenByIdentity.end()) continue;
        HiddenDrain row = latest->second;
        if (accumulation.sampleHours > 0) row.drainW = wh / accumulation.sampleHours;
        result.hidden.push_back(std::move(row));
    }
    if (result.hidden.empty()) {
        result.hidden = prepared.selectedSnapshot.hidden;
    } else {
        // The map's order carries no meaning: start from the ids so equal energies stay stable.
        std::sort(result.hidden.begin(), result.hidden.end(),
                  [](const HiddenDrain& a, const HiddenDrain& b) { return a.id() < b.id(); });
    }
    std::stable_sort(
        result.hidden.begin(), result.hidden.end(),
        [&](const HiddenDrain& a, const HiddenDrain& b) { return hiddenWh(a) > hiddenWh(b); });
    return result;
}

Date chartAnchorTimestamp(std::span<const PreparedSnapshot> prepared,
                          const DrainSnapshot& fallbackSnapshot) {
    return prepared.empty() ? fallbackSnapshot.timestamp : prepared.back().snapshot.timestamp;
}

std::vector<ProcessGroup>
processGroups(const std::vector<ProcessDrain>& rows,
              const std::unordered_map<std::string, double>& whByID,
              const std::unordered_map<std::string, std::vector<ProcessDrain>>& subprocessesByID) {
    std::vector<ProcessGroup> groups;
    groups.reserve(rows.size());
    for (const auto& row : rows) {
        const std::string id = row.id();
        const auto wh = whByID.find(id);
        const auto members = subprocessesByID.find(id);
        ProcessGroup group{.id = id,
                           .canonicalName = row.canonicalName.value_or(row.processDisplayName()),
                           .totalDrainW = row.drainW,
                           .totalEnergyWh = wh == whByID.end() ? 0.0 : wh->second,
                           .iconProcess = row};
        if (members != subprocessesByID.end() && !members->second.empty()) {
            group.processes = members->second;
        } else {
            group.processes = {row};
        }
        groups.push_back(std::move(group));
    }
    return groups;
}

namespace {

// The size and ends of a built window.
struct WindowBounds {
    std::size_t count = 0;
    Date start{};
    Date end{};
};

// The payload, or none when cancelled. On completion the cache holds the new history and sums;
// a cancellation after the cached history was taken out leaves the cache empty.
std::optional<GraphBuildPayload> buildPayload(const GraphBuildRequestView& request,
                                              GraphBuildCacheState* cacheState,
                                              const std::optional<GraphProfilingContext>& profiling,
                                              std::stop_token stop, std::string_view function,
                                              WindowBounds* window) {
    const auto started = Clock::now();
    BuildSpan whole(profiling, BenchmarkComponent::appDetailsGraphRebuild, function);
    GraphBuildPayload payload;
    const auto cancelled = [&](const Preparation* preparation) {
        if (!stop.stop_requested()) return false;
        if (cacheState && preparation && preparation->usedCache) {
            const int64_t fullPreparations = cacheState->fullPreparationCount;
            *cacheState = GraphBuildCacheState{};
            cacheState->fullPreparationCount = fullPreparations;
        }
        return true;
    };

    auto stepStart = Clock::now();
    Preparation preparation = [&] {
        BuildSpan span(profiling, BenchmarkComponent::appDetailsGraphNormalize, function);
        return prepare(request, true, cacheState, stop);
    }();
    payload.metrics.normalizedMs = millisecondsSince(stepStart);
    if (cancelled(&preparation)) return std::nullopt;
    const PreparedHistory& history = preparation.history;
    const auto& prepared = history.snapshots;
    const int64_t maxPoints = std::max<int64_t>(request.period.graphMaxPoints, 1);

    stepStart = Clock::now();
    IntervalAccumulation accumulation = [&] {
        BuildSpan span(profiling, BenchmarkComponent::appDetailsGraphTotals, function);
        return preparation.accumulation ? std::move(*preparation.accumulation)
                                        : accumulateIntervals(prepared, stop);
    }();
    payload.metrics.totalsMs = millisecondsSince(stepStart);
    if (cancelled(&preparation)) return std::nullopt;

    stepStart = Clock::now();
    {
        BuildSpan span(profiling, BenchmarkComponent::appDetailsGraphTrends, function);
        payload.batteryLevel = buildBatteryLevelTrend(prepared, maxPoints);
        payload.batteryDrainRatePerHour = calculateDrainRate(prepared);
        const auto trend = smoothedTrend(prepared);
        payload.smoothedTrend = downsample(trend, maxPoints);
        payload.energyTrend = downsampleEnergyTrend(buildEnergyTrend(trend), maxPoints);
    }
    payload.metrics.trendsMs = millisecondsSince(stepStart);
    if (cancelled(&preparation)) return std::nullopt;

    stepStart = Clock::now();
    {
        BuildSpan span(profiling, BenchmarkComponent::appDetailsGraphAppSeries, function);
        const auto topApps = topAppNames(accumulation.appWhByName, topApplicationCount);
        payload.appPowerTrend = buildAppPowerTrend(prepared, maxPoints, topApps);
        payload.appEnergyTrend = buildAppEnergyTrend(prepared, maxPoints, topApps);
    }
    payload.metrics.appSeriesMs = millisecondsSince(stepStart);
    if (cancelled(&preparation)) return std::nullopt;

    stepStart = Clock::now();
    {
        BuildSpan span(profiling, BenchmarkComponent::appDetailsGraphSummary, function);
        payload.selectedRangeSnapshot = history.selectedSnapshot;
        payload.rangeEnergySummary = energySummary(accumulation);
        payload.rangeComponentAverage =
            buildComponentAverages(prepared, history.selectedSnapshot, accumulation);
        auto outputs = buildProcessOutputs(history, accumulation);
        payload.rangeProcesses = std::move(outputs.processes);
        payload.processTotalWhByID = std::move(outputs.processWhByID);
        payload.processSubprocessesByID = std::move(outputs.subprocessesByID);
        payload.rangeHidden = std::move(outputs.hidden);
        for (const auto& [identity, wh] : accumulation.hiddenWhByIdentity) {
            payload.hiddenTotalWhByID[HiddenDrain{identity.kind, identity.identifier, 0}.id()] = wh;
        }
    }
    payload.metrics.summaryMs = millisecondsSince(stepStart);
    if (cancelled(&preparation)) return std::nullopt;
    payload.metrics.totalMs = millisecondsSince(started);

    if (window) {
        *window = {prepared.size(), prepared.empty() ? Date{} : prepared.front().snapshot.timestamp,
                   chartAnchorTimestamp(prepared, request.fallbackSnapshot)};
    }
    if (cacheState) {
        updateCacheState(*cacheState, request, std::move(preparation.history),
                         std::move(accumulation));
    }
    return payload;
}

}  // namespace

GraphBuildPayload rebuildPayload(const GraphBuildRequest& fullRequest,
                                 GraphBuildCacheState* cacheState,
                                 const std::optional<GraphProfilingContext>& profiling,
                                 std::stop_token stop) {
    const GraphBuildRequestView request{fullRequest.sourceRaw, fullRequest.fallbackSnapshot,
                                        fullRequest.period};
    auto payload = buildPayload(request, cacheState, profiling, stop, payloadFunction, nullptr);
    if (!payload) return GraphBuildPayload{.selectedRangeSnapshot = request.fallbackSnapshot};
    return std::move(*payload);
}

DetailsPipelineOutput cancelledDetailsOutput(const DrainSnapshot& fallbackSnapshot) {
    return DetailsPipelineOutput{.rangeSnapshot = fallbackSnapshot,
                                 .windowStart = fallbackSnapshot.timestamp,
                                 .windowEnd = fallbackSnapshot.timestamp};
}

DetailsPipelineOutput rebuildDetailsOutput(std::span<const DrainSnapshot> sourceRaw,
                                           const DrainSnapshot& fallbackSnapshot,
                                           const GraphPeriodSpec& period,
                                           GraphBuildCacheState* cacheState,
                                           const std::optional<GraphProfilingContext>& profiling,
                                           std::stop_token stop) {
    const GraphBuildRequestView request{sourceRaw, fallbackSnapshot, period};
    WindowBounds window;
    auto payload = buildPayload(request, cacheState, profiling, stop, detailsFunction, &window);
    if (!payload) return cancelledDetailsOutput(fallbackSnapshot);

    const Date anchor = window.end;
    DetailsPipelineOutput output;
    output.systemPowerPoints =
        trendPoints(payload->smoothedTrend, &PowerTrendPoint::totalW, anchor);
    output.processPowerPoints =
        trendPoints(payload->smoothedTrend, &PowerTrendPoint::processW, anchor);
    output.componentPowerPoints =
        trendPoints(payload->smoothedTrend, &PowerTrendPoint::componentW, anchor);
    output.unattributedPowerPoints =
        trendPoints(payload->smoothedTrend, &PowerTrendPoint::unattributedW, anchor);
    for (const auto& level : payload->batteryLevel) {
        output.batteryLevelPoints.push_back({level.timestamp, chartOffset(level.timestamp, anchor),
                                             static_cast<float>(level.levelPercent)});
    }
    const DrainSnapshot& selected = payload->selectedRangeSnapshot;
    output.onBatteryPower = selected.powerContext && selected.powerContext->onBatteryPower;
    output.batteryDrainRatePerHour = payload->batteryDrainRatePerHour;
    output.appPowerSeries = chartSeries(payload->appPowerTrend, anchor);
    output.appEnergySeries = chartSeries(payload->appEnergyTrend, anchor);
    output.processGroups = processGroups(payload->rangeProcesses, payload->processTotalWhByID,
                                         payload->processSubprocessesByID);
    output.hiddenDrains = payload->rangeHidden;
    output.hiddenTotalWhByID = payload->hiddenTotalWhByID;
    output.componentAverages = payload->rangeComponentAverage;
    output.energySummary = payload->rangeEnergySummary;
    output.rangeSnapshot = selected;
    output.metrics = {.windowFilterMs = payload->metrics.normalizedMs,
                      .aggregationMs = payload->metrics.totalsMs,
                      .chartBuildMs = payload->metrics.trendsMs + payload->metrics.appSeriesMs +
                                      payload->metrics.summaryMs,
                      .totalMs = payload->metrics.totalMs};
    output.snapshotCount = static_cast<int64_t>(window.count);
    output.windowStart = window.count == 0 ? anchor : window.start;
    output.windowEnd = anchor;
    return output;
}

UnifiedProcessDataset unifiedProcessDataset(const GraphBuildRequest& fullRequest,
                                            std::stop_token stop) {
    const GraphBuildRequestView request{fullRequest.sourceRaw, fullRequest.fallbackSnapshot,
                                        fullRequest.period};
    const PreparedHistory history = normalizeAndPrepareSnapshots(request, false, stop);
    if (stop.stop_requested()) return {};
    auto outputs = buildProcessOutputs(history, accumulateIntervals(history.snapshots, stop));
    return {std::move(outputs.processes), std::move(outputs.processWhByID),
            std::move(outputs.subprocessesByID)};
}

}  // namespace joulix::GraphBuildEngine
