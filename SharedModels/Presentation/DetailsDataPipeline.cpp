#include "SharedModels/Presentation/DetailsDataPipeline.h"

#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/Presentation/BuildSpan.h"
#include "SharedModels/ProcessAttributionPresentationService.h"

#include <algorithm>
#include <chrono>

namespace joulix {
namespace PAS = ProcessAttributionPresentationService;

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

constexpr std::string_view rebuildFunction =
    "rebuild(sourceRaw:fallbackSnapshot:windowSeconds:maxChartPoints:profiling:)";

}  // namespace

namespace DetailsDataPipeline {

ProcessPresentationContext namingContext(std::span<const DrainSnapshot> windowed,
                                         std::stop_token stop) {
    if (hasStoredPresentationData(windowed)) return {};
    return PAS::makeLatestOnlyPresentationContext(windowed, stop);
}

std::string canonicalName(const ProcessDrain& process, const ProcessPresentationContext& context) {
    const auto found = context.canonicalNameByIdentity.find({process.pid, process.name});
    if (found != context.canonicalNameByIdentity.end()) return found->second;
    if (auto stored = PAS::storedCanonicalName(process)) return std::move(*stored);
    return process.processDisplayName();
}

DetailsPipelineOutput rebuild(std::vector<DrainSnapshot> sourceRaw,
                              const DrainSnapshot& fallbackSnapshot, double windowSeconds,
                              int64_t maxChartPoints,
                              const std::optional<GraphProfilingContext>& profiling,
                              std::stop_token stop) {
    const auto started = Clock::now();
    DetailsPipelineMetrics metrics;

    auto stageStart = Clock::now();
    std::vector<DrainSnapshot> windowed;
    {
        BuildSpan span(profiling, BenchmarkComponent::detailsPipelineWindowFilter, rebuildFunction);
        windowed = windowFilter(std::move(sourceRaw), fallbackSnapshot, windowSeconds, stop);
    }
    metrics.windowFilterMs = millisecondsSince(stageStart);
    if (stop.stop_requested()) return cancelledOutput(fallbackSnapshot);

    stageStart = Clock::now();
    ProcessPresentationContext context;
    {
        const bool stored = hasStoredPresentationData(windowed);
        BuildSpan span(profiling, BenchmarkComponent::detailsPipelineNaming, rebuildFunction,
                       {{"mode", stored ? "stored" : "legacy"}});
        if (!stored) context = PAS::makeLatestOnlyPresentationContext(windowed, stop);
    }
    metrics.namingMs = millisecondsSince(stageStart);
    if (stop.stop_requested()) return cancelledOutput(fallbackSnapshot);

    stageStart = Clock::now();
    AggregationResult aggregation;
    {
        BuildSpan span(profiling, BenchmarkComponent::detailsPipelineAggregation, rebuildFunction);
        aggregation = aggregate(
            windowed, [&](const ProcessDrain& process) { return canonicalName(process, context); },
            stop);
    }
    metrics.aggregationMs = millisecondsSince(stageStart);
    if (stop.stop_requested()) return cancelledOutput(fallbackSnapshot);

    stageStart = Clock::now();
    DetailsPipelineOutput output;
    {
        BuildSpan span(profiling, BenchmarkComponent::detailsPipelineChartBuild, rebuildFunction);
        output = buildOutput(aggregation, windowed, fallbackSnapshot, maxChartPoints);
        const auto byName = appWhByName(aggregation);
        const auto grouped = PAS::groupVisibleProcesses(
            output.rangeSnapshot, context,
            std::unordered_map<std::string, double>(byName.begin(), byName.end()));
        output.processGroups = GraphBuildEngine::processGroups(
            grouped.processes, grouped.processWhByID, grouped.subprocessesByID);
    }
    metrics.chartBuildMs = millisecondsSince(stageStart);
    if (stop.stop_requested()) return cancelledOutput(fallbackSnapshot);
    metrics.totalMs = millisecondsSince(started);
    output.metrics = metrics;
    return output;
}

}  // namespace DetailsDataPipeline

namespace WindowedProcessSummaryBuilder {

WindowedProcessSummary summarize(std::vector<DrainSnapshot> sourceRaw,
                                 const DrainSnapshot& fallbackSnapshot, double windowSeconds,
                                 std::stop_token stop) {
    const auto windowed = DetailsDataPipeline::windowFilter(std::move(sourceRaw), fallbackSnapshot,
                                                            windowSeconds, stop);
    const auto context = DetailsDataPipeline::namingContext(windowed, stop);
    WindowedProcessSummary summary;
    std::unordered_map<std::string, double> groupedWh;
    std::unordered_map<std::string, double> previousWatts;
    for (std::size_t i = 0; i < windowed.size(); ++i) {
        if (stop.stop_requested()) break;
        auto watts = PAS::processWattsByDisplayName(windowed[i], context);
        if (i > 0) {
            const double dt = windowed[i].timestamp.timeIntervalSinceReferenceDate -
                              windowed[i - 1].timestamp.timeIntervalSinceReferenceDate;
            if (dt > GraphBuildEngine::nearDuplicateSeconds) {
                const double weight = std::min(dt, GraphBuildEngine::maxIntervalSeconds) / 3600.0;
                summary.totalWh +=
                    weight *
                    std::max(0.0,
                             (windowed[i - 1].totalDischargeW + windowed[i].totalDischargeW) * 0.5);
                GraphBuildEngine::accumulateAverageEnergy(previousWatts, watts, weight, groupedWh);
            }
        }
        previousWatts = std::move(watts);
    }
    summary.rangeSnapshot = windowed.back();
    const auto grouped = PAS::groupVisibleProcesses(summary.rangeSnapshot, context, groupedWh);
    summary.processGroups = GraphBuildEngine::processGroups(
        grouped.processes, grouped.processWhByID, grouped.subprocessesByID);
    summary.groupedWhByName.insert(groupedWh.begin(), groupedWh.end());
    return summary;
}

}  // namespace WindowedProcessSummaryBuilder

}  // namespace joulix
