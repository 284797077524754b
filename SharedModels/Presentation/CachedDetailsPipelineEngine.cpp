#include "SharedModels/Presentation/CachedDetailsPipelineEngine.h"

namespace joulix {

DetailsPipelineOutput CachedDetailsPipelineEngine::rebuild(
    std::span<const DrainSnapshot> sourceRaw, const DrainSnapshot& fallbackSnapshot,
    const GraphPeriodSpec& period, const std::optional<GraphProfilingContext>& profiling,
    std::stop_token stop) {
    std::lock_guard hold(lock_);
    return GraphBuildEngine::rebuildDetailsOutput(sourceRaw, fallbackSnapshot, period, &cacheState_,
                                                  profiling, stop);
}

int64_t CachedDetailsPipelineEngine::fullPreparationCount() {
    std::lock_guard hold(lock_);
    return cacheState_.fullPreparationCount;
}

}  // namespace joulix
