#pragma once
// What one cached engine keeps between builds: the last complete build's period and raw source
// bounds, its normalised and prepared history, and the interval accumulation over that history
// with the source size and window start it was computed for. Owned by one engine and touched
// only inside its calls.
#include "SharedModels/Presentation/GraphRecords.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_set>

namespace joulix {

struct GraphBuildCacheState {
    std::optional<GraphPeriodSpec> period{};
    std::size_t rawSourceCount = 0;
    double rawEarliestTimestamp = 0;  // seconds since 1970; 0 for an empty source
    double rawLatestTimestamp = 0;
    std::unordered_set<ProcessIdentity> knownProcessIdentities{};
    std::optional<PreparedHistory> preparedHistory{};
    std::optional<IntervalAccumulation> accumulation{};
    std::size_t accumulationFullSourceCount = 0;
    std::size_t accumulationEffectiveStartIndex = 0;
    // Builds that prepared the whole history afresh (a reused or extended history does not
    // count): how a caller sees that the cache was not used.
    int64_t fullPreparationCount = 0;
};

}  // namespace joulix
