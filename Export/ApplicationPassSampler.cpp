#include "Export/ApplicationPassSampler.h"

#include "Attribution/ReferenceAttribution.h"
#include "SharedModels/ProcessAttributionPresentationService.h"

namespace joulix {
namespace {

// Passes whose processes name the next pass's (as `joulix record` keeps them).
constexpr std::size_t recentPassCount = 20;

}  // namespace

ApplicationPassSampler::ApplicationPassSampler()
    : builder_(LiveAttributionInputBuilder::withPlatformSources(shell_)) {}

void ApplicationPassSampler::observeBaseline() {
    builder_.observeBaseline();
}

ExportedPass ApplicationPassSampler::pass() {
    const AttributionBuildResult result = builder_.buildWithMetadata({}, false);
    DrainSnapshot snapshot = ProcessAttributionPresentationService::annotateSnapshot(
        ReferenceAttribution::attribute(result.input, result.metadata.sourceTelemetry(),
                                        result.batteryStatus),
        recent_);

    ExportedPass pass{.timestampS = snapshot.timestamp.timeIntervalSince1970(),
                      .totalW = result.input.totalDischargeW,
                      .metadata = result.metadata,
                      .batteryStatus = result.batteryStatus};
    const auto rows =
        ProcessAttributionPresentationService::groupVisibleProcesses(snapshot, {}, {});
    for (const ProcessDrain& row : rows.processes)
        pass.wattsByApplication[row.displayName.value_or(row.name)] += row.drainW;

    recent_.push_back(std::move(snapshot));
    if (recent_.size() > recentPassCount) recent_.erase(recent_.begin());
    return pass;
}

}  // namespace joulix
