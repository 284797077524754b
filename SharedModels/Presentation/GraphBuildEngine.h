#pragma once
// The graph build engine: pure functions that turn a window of snapshots into what the history
// screens draw (a smoothed power trend, cumulative energy, battery level, per-application power
// and energy lines) and the energy and average-power summaries. The building blocks are public
// because the details pipeline and the cached engine reuse them.
//
// Long loops test the stop token and then return what they have; the callers test the token
// after each step and discard such results.
#include "SharedModels/Presentation/DetailsRecords.h"
#include "SharedModels/Presentation/GraphBuildCacheState.h"
#include "SharedModels/Presentation/GraphRecords.h"
#include "SharedModels/ProcessAttributionPresentationService.h"

#include <cstddef>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace joulix::GraphBuildEngine {

// Near-duplicate window: snapshots closer than this (in seconds) are one sample.
inline constexpr double nearDuplicateSeconds = 0.5;
// Gaps longer than this (in seconds) count as this long in energy integrals.
inline constexpr double maxIntervalSeconds = 60.0;

// --- Snapshot measures ---

// snapshotQuality of the total and the non-negative process drains.
double snapshotQuality(const DrainSnapshot& snapshot);

// The configured bundle identifier prefix that marks tracker processes.
std::string trackerPrefix();
// isTrackerProcess of the process's name and bundle identifier.
bool isTrackerProcess(const ProcessDrain& process, const std::string& prefix);
// The sum of the tracker processes' non-negative drains.
double trackerDrainWatts(const DrainSnapshot& snapshot, const std::string& prefix);

// --- History normalisation ---

enum class NormalizedAppend { dropped = 0, appended = 1, replaced = 2 };

bool isNondecreasingHistory(std::span<const DrainSnapshot> snapshots);
// Appends the snapshot, lets it replace the last kept one (a near duplicate of no higher
// quality), or drops it.
NormalizedAppend appendNormalizedSnapshot(DrainSnapshot snapshot, std::vector<DrainSnapshot>& into);
// Sorted by time (stable) and free of near duplicates; on cancellation what was built so far.
std::vector<DrainSnapshot> normalizedHistory(std::vector<DrainSnapshot> source,
                                             std::stop_token stop = {});
// The index of the first snapshot at or after newest − seconds (the last index when none; 0 for
// an empty history).
std::size_t windowStartIndex(std::span<const DrainSnapshot> normalized, double seconds);

// --- Interval accumulation ---

// Adds hours × ½ × (previous + current) per key into `into` (a missing value counts 0; nothing
// when hours is 0; an amount of exactly 0 adds no key).
template <class Map>
void accumulateAverageEnergy(const Map& previous, const Map& current, double intervalHours,
                             Map& into) {
    if (intervalHours == 0) return;
    const double half = intervalHours * 0.5;
    for (const auto& [key, watts] : current) {
        const auto earlier = previous.find(key);
        const double amount = half * (watts + (earlier == previous.end() ? 0.0 : earlier->second));
        if (amount != 0) into[key] += amount;
    }
    for (const auto& [key, watts] : previous) {
        if (current.contains(key)) continue;
        const double amount = half * watts;
        if (amount != 0) into[key] += amount;
    }
}

// Adds (multiplier 1) or removes (multiplier −1) the energy of one interval.
void applyInterval(const PreparedSnapshot& previous, const PreparedSnapshot& current,
                   double multiplier, MutableIntervalAccumulation& into);
// (last − first timestamp) ÷ 3600; 0 with fewer than two snapshots.
double trackedHours(std::span<const PreparedSnapshot> prepared);
IntervalAccumulation finishedAccumulation(MutableIntervalAccumulation sums, double trackedHours);
MutableIntervalAccumulation mutableAccumulation(IntervalAccumulation accumulation);
// Every consecutive pair; on cancellation the sums so far.
IntervalAccumulation accumulateIntervals(std::span<const PreparedSnapshot> prepared,
                                         std::stop_token stop = {});

// --- Smoothed power trend ---

std::vector<PowerTrendPoint> buildBaseTrend(std::span<const PreparedSnapshot> prepared);
// Carries near-zero split values forward and limits each step to 4 W, or 1.8 W per second
// when that is larger and the gap is at least 1 s.
std::vector<PowerTrendPoint> clampRateOfChange(std::vector<PowerTrendPoint> points);
// A total below 1 W between neighbours above 10 W takes their means (three points or more).
std::vector<PowerTrendPoint> replaceTransientDips(std::vector<PowerTrendPoint> points);
// The median (mean of the two middle values for an even count; 0 for none).
double median(std::vector<double> values);
// Per value, the median over window ÷ 2 points on each side (three points or more).
std::vector<PowerTrendPoint> medianFilter(std::vector<PowerTrendPoint> points, std::size_t window);
std::vector<PowerTrendPoint> exponentialSmooth(std::vector<PowerTrendPoint> points, double alpha);
// The id, timestamp and flag of the middle point, the means of the four values.
PowerTrendPoint averagePoint(std::span<const PowerTrendPoint> bucket);
// At most maxPoints (+1) points, starting and ending with the exact first and last inputs.
std::vector<PowerTrendPoint> downsample(std::span<const PowerTrendPoint> points, int64_t maxPoints);
// Clamp, dips, median over 5 and exponential smoothing (α 0.2) of the base trend, before
// down-sampling.
std::vector<PowerTrendPoint> smoothedTrend(std::span<const PreparedSnapshot> prepared);

// --- Energy and battery ---

// Running total and on-battery Wh along the smoothed trend.
std::vector<EnergyTrendPoint> buildEnergyTrend(std::span<const PowerTrendPoint> trend);
// Every k-th point and the last, k = ⌈count ÷ maxPoints⌉.
std::vector<EnergyTrendPoint> downsampleEnergyTrend(std::span<const EnergyTrendPoint> points,
                                                    int64_t maxPoints);
std::vector<BatteryLevelPoint> buildBatteryLevelTrend(std::span<const PreparedSnapshot> prepared,
                                                      int64_t graphMaxPoints);
// A (timestamp, level) reading of the battery.
struct BatteryReading {
    Date timestamp{};
    double levelPercent = 0;
};
// Percent per hour between the first and last of the readings of the last 900 s (when there
// are two) or of all readings; none with fewer than two readings or under 0.01 h.
std::optional<double> drainRatePerHour(std::span<const BatteryReading> readings);
std::optional<double> calculateDrainRate(std::span<const PreparedSnapshot> prepared);

// --- Applications ---

// Names by energy, largest first (equal energies in name order), at most `limit`.
std::vector<std::string> topAppNames(const WattsByName& appWhByName, std::size_t limit);
std::vector<AppPowerPoint> buildAppPowerTrend(std::span<const PreparedSnapshot> prepared,
                                              int64_t graphMaxPoints,
                                              std::span<const std::string> topApps);
std::vector<AppPowerPoint> buildAppEnergyTrend(std::span<const PreparedSnapshot> prepared,
                                               int64_t graphMaxPoints,
                                               std::span<const std::string> topApps);
// Seconds from the reference to the timestamp.
float chartOffset(Date timestamp, Date referenceTimestamp);
// One series per application, in order of first appearance.
std::vector<ChartSeries> chartSeries(std::span<const AppPowerPoint> points,
                                     Date referenceTimestamp);

// --- Summaries ---

// Window averages (accumulated Wh ÷ sampleHours) with two snapshots or more and sample time;
// otherwise the selected snapshot's instantaneous values.
ComponentAverages buildComponentAverages(std::span<const PreparedSnapshot> prepared,
                                         const DrainSnapshot& selectedSnapshot,
                                         const IntervalAccumulation& accumulation);
EnergyUsageSummary energySummary(const IntervalAccumulation& accumulation);

// One application row per visible process row, with its energy and members (the row itself
// when it has no other member).
std::vector<ProcessGroup>
processGroups(const std::vector<ProcessDrain>& rows,
              const std::unordered_map<std::string, double>& whByID,
              const std::unordered_map<std::string, std::vector<ProcessDrain>>& subprocessesByID);

// --- Preparation and builds (GraphBuildPayload.cpp) ---
//
// The naming context of a history is the latest-only context of its whole normalised source.
// The cache state, when given, is read and brought up to date only by a build that completes;
// a cancelled build that had begun to extend the cached history empties the cache instead.

// The application a process counts under: the context's canonical name of its identity, the
// alias of its executable leaf, the context's display name, else its own display name.
std::string appName(const ProcessDrain& process, const ProcessPresentationContext& context);
PreparedSnapshot
prepareSnapshot(const DrainSnapshot& snapshot, const ProcessPresentationContext& context,
                bool prepareAppWatts, const std::string& trackerPrefix,
                std::unordered_map<HiddenIdentity, HiddenDrain>& latestHiddenByIdentity);

PreparedHistory cancelledPreparedHistory(const DrainSnapshot& fallbackSnapshot);
// The history of the request built afresh: normalised, windowed, named and prepared.
PreparedHistory normalizeAndPrepareSnapshots(const GraphBuildRequestView& request,
                                             bool prepareAppWatts, std::stop_token stop = {});
// After a complete build: the request's period and raw bounds, the history and its sums.
void updateCacheState(GraphBuildCacheState& cacheState, const GraphBuildRequestView& request,
                      PreparedHistory preparedHistory, IntervalAccumulation accumulation);

// Visible rows of the selected snapshot with the window's energy per group name, and the hidden
// workloads with their average power.
UniqueProcessesResult buildProcessOutputs(const PreparedHistory& prepared,
                                          const IntervalAccumulation& accumulation);
// The newest prepared snapshot's timestamp, or the fallback's.
Date chartAnchorTimestamp(std::span<const PreparedSnapshot> prepared,
                          const DrainSnapshot& fallbackSnapshot);

// A cancelled build gives the fallback snapshot and nothing else.
GraphBuildPayload rebuildPayload(const GraphBuildRequest& request, GraphBuildCacheState* cacheState,
                                 const std::optional<GraphProfilingContext>& profiling,
                                 std::stop_token stop = {});
DetailsPipelineOutput rebuildDetailsOutput(std::span<const DrainSnapshot> sourceRaw,
                                           const DrainSnapshot& fallbackSnapshot,
                                           const GraphPeriodSpec& period,
                                           GraphBuildCacheState* cacheState,
                                           const std::optional<GraphProfilingContext>& profiling,
                                           std::stop_token stop = {});
DetailsPipelineOutput cancelledDetailsOutput(const DrainSnapshot& fallbackSnapshot);
UnifiedProcessDataset unifiedProcessDataset(const GraphBuildRequest& request,
                                            std::stop_token stop = {});

}  // namespace joulix::GraphBuildEngine
