#pragma once
// The processes of this machine grouped into applications: one ProcessSampler pass over every
// process, annotated and grouped by the presentation rules into rows. Each row stands for its
// members, busiest (by summed CPU %) first. Used by `joulix processes --apps` and `end-app`.
#include "SharedModels/ProcessAttributionPresentationService.h"

#include <vector>

namespace joulix::cli {

struct ApplicationRows {
    VisibleProcessGroupingResult grouping;  // rows ordered busiest first

    // The processes a row stands for: its subprocesses, or the row itself for a lone process.
    std::vector<ProcessDrain> members(const ProcessDrain& row) const;
    static double cpuPercent(const std::vector<ProcessDrain>& members);
};

// One grouped pass; throws what the process sampler throws.
ApplicationRows sampleApplicationRows();

// `joulix processes --apps [--json]`: the rows as a table (NAME, PROCESSES, CPU %, PID, GROUP
// KEY) or the grouping result as JSON; sets the exit status to 1 when sampling fails.
void printApplications(bool json);

}  // namespace joulix::cli
