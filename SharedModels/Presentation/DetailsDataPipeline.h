#pragma once
// The details screen's data for one window, built in one uncached pass (four timed stages:
// window filter, naming, aggregation, chart building), and the lighter windowed summary of
// energy per display name and process groups. Pure functions over values; a cancelled rebuild
// returns cancelledOutput, a cancelled summary stops early.
#include "SharedModels/Presentation/DetailsAggregation.h"
#include "SharedModels/ProcessPresentationContext.h"

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace joulix {

namespace DetailsDataPipeline {

DetailsPipelineOutput rebuild(std::vector<DrainSnapshot> sourceRaw,
                              const DrainSnapshot& fallbackSnapshot, double windowSeconds,
                              int64_t maxChartPoints,
                              const std::optional<GraphProfilingContext>& profiling = {},
                              std::stop_token stop = {});

// Stored names are used as they are (an empty context); otherwise the latest-only context of
// the windowed snapshots names them.
ProcessPresentationContext namingContext(std::span<const DrainSnapshot> windowed,
                                         std::stop_token stop = {});
// The context's canonical name of the process's identity, else its stored canonical name, else
// its display name.
std::string canonicalName(const ProcessDrain& process, const ProcessPresentationContext& context);

}  // namespace DetailsDataPipeline

namespace WindowedProcessSummaryBuilder {

WindowedProcessSummary summarize(std::vector<DrainSnapshot> sourceRaw,
                                 const DrainSnapshot& fallbackSnapshot, double windowSeconds,
                                 std::stop_token stop = {});

}  // namespace WindowedProcessSummaryBuilder

}  // namespace joulix
