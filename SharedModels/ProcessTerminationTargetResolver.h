#pragma once
// The order in which the processes behind one presented row are ended: the application's main
// executable first, then the other processes of the same application, then the rest; among
// equals the lower pid first. A pure function.
#include "SharedModels/DrainSnapshot.h"

#include <cstdint>
#include <span>
#include <vector>

namespace joulix::ProcessTerminationTargetResolver {

// The subprocesses' pids (those at least 1, each once, within 32 bits) by termination priority;
// without any, the group's own pid when it is at least 1.
std::vector<int32_t> targetPIDs(const ProcessDrain& group,
                                std::span<const ProcessDrain> subprocesses);

}  // namespace joulix::ProcessTerminationTargetResolver
