#pragma once
// The details output of the graph build engine, cached between calls: the engine keeps the last
// complete build's prepared history and energy sums, and a rebuild after a few appended
// snapshots prepares only those and moves the sums by the intervals that entered and left the
// window. Calls are serialised (one at a time, each to the end); the cache is touched only
// inside them. A cancelled call returns the cancelled output and never stores its work.
#include "SharedModels/Presentation/GraphBuildEngine.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

namespace joulix {

class CachedDetailsPipelineEngine {
  public:
    CachedDetailsPipelineEngine() = default;
    CachedDetailsPipelineEngine(const CachedDetailsPipelineEngine&) = delete;
    CachedDetailsPipelineEngine& operator=(const CachedDetailsPipelineEngine&) = delete;

    DetailsPipelineOutput rebuild(std::span<const DrainSnapshot> sourceRaw,
                                  const DrainSnapshot& fallbackSnapshot,
                                  const GraphPeriodSpec& period,
                                  const std::optional<GraphProfilingContext>& profiling = {},
                                  std::stop_token stop = {});

    // How many builds prepared their whole history afresh.
    int64_t fullPreparationCount();

  private:
    std::mutex lock_;  // serialises the calls; guards cacheState_
    GraphBuildCacheState cacheState_;
};

}  // namespace joulix
