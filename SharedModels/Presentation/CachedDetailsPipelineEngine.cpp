#include "SharedModels/Presentation/CachedDetailsPipelineEngine.h"

namespace joulix {

DetailsPipelineOutput CachedDetailsPipelineEngine::rebuild(
    std::vector<DrainSnapshot> sourceRaw, const DrainSnapshot& fallbackSnapshot,
    const GraphPeriodSpec& period, const std::optional<GraphProfilingContext>& profiling,
    std::stop_token stop) {
    std::lock_guard hold(lock_);
    return GraphBuildEngine::rebuildDetailsOutput(std::move(sourceRaw), fallbackSnapshot, period,
                                                  &cacheState_, profiling, stop);
}

int64_t CachedDetailsPipelineEngine::fullPreparationCount() {
    std::lock_guard hold(lock_);
    return cacheState_.fullPreparationCount;
}

}  // namespace joulix
