#pragma once
// The processes of this machine grouped into applications: one ProcessSampler pass over every
// process, annotated and grouped by the presentation rules into rows. Each row stands for its
// members, busiest (by summed CPU %) first. Used by `joulix processes --apps` and `end-app`.
#include "MetricsCollectors/ProcessSampler.h"
#include "SharedModels/ProcessAttributionPresentationService.h"

#include <vector>

namespace joulix::cli {

struct ApplicationRows {
    VisibleProcessGroupingResult grouping;  // rows ordered busiest first

    // The processes a row stands for: its subprocesses, or the row itself for a lone process.
    std::vector<ProcessDrain> members(const ProcessDrain& row) const;
    static double cpuPercent(const std::vector<ProcessDrain>& members);
};

// One grouped pass of `sampler`; throws what the sampler throws.
ApplicationRows sampleApplicationRows(const ProcessSampler& sampler = ProcessSampler());

// `joulix processes --apps [--json]`: the rows as a table (NAME, PROCESSES, CPU %, PID, GROUP
// KEY) or the grouping result as JSON. Throws what the sampler throws.
void printApplications(const ProcessSampler& sampler, bool json);

}  // namespace joulix::cli
