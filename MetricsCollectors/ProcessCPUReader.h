#pragma once
// Which applications use the CPU now, from `ps`: processes are grouped under the process
// responsible for them (an application with its helpers counts once), each group gets a
// representative sample named through the shared metadata cache, and the raw per-process list
// is kept beside the groups. Keeps the time of its previous call to measure the interval; whole
// calls are serialised by its lock. Never throws: a failing `ps` gives an empty readout.
#include "MetricsCollectors/RunningProcessMetadataCache.h"
#include "MetricsCollectors/RunningProcessMetadataResolver.h"
#include "MetricsCollectors/ShellRunner.h"
#include "Platform/ProcessTable.h"
#include "Platform/Responsibility.h"
#include "SharedModels/Date.h"
#include "SharedModels/ProcessSample.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace joulix {

struct ProcessCPUGroup {
    ProcessSample representativeProcess;
    std::vector<ProcessSample> memberProcesses;  // CPU descending, then pid ascending
    int64_t responsiblePID = 0;

    friend bool operator==(const ProcessCPUGroup&, const ProcessCPUGroup&) = default;
};

struct ProcessCPUReadout {
    std::vector<ProcessCPUGroup> groups;      // total CPU descending
    std::vector<ProcessSample> rawProcesses;  // one per `ps` row, in `ps` order
    double intervalSeconds = 0;

    friend bool operator==(const ProcessCPUReadout&, const ProcessCPUReadout&) = default;
};

class ProcessCPUReader {
  public:
    // The default resolvers read the process table and the system's responsibility function.
    explicit ProcessCPUReader(
        std::shared_ptr<const ShellRunning> shell = std::make_shared<DefaultShellRunner>(),
        std::shared_ptr<const ProcessTable> processTable = systemProcessTable());

    // Groups by total CPU, at most `limit` of them (absent: all; below 1: one).
    ProcessCPUReadout sample(std::optional<int64_t> limit, Date now);

    RunningProcessMetadataLookup metadataResolver = RunningProcessMetadataResolver::systemLookup();
    RunningProcessMetadataCache* metadataCache = &RunningProcessMetadataCache::shared();
    std::function<int64_t(int64_t)> responsiblePIDResolver;
    std::function<std::optional<uint64_t>(int64_t)> residentMemoryResolver;

  private:
    struct GroupAccumulator {
        int64_t responsiblePID = 0;
        double totalCPUPercent = 0;
        std::vector<ProcessSample> memberProcesses;
    };

    ProcessSample resolveRepresentative(const GroupAccumulator& group, Date now,
                                        double intervalSeconds) const;

    std::shared_ptr<const ShellRunning> shell_;
    std::mutex lock_;
    std::optional<Date> lastSampleAt_;
    bool hasLoggedPSFailure_ = false;
};

}  // namespace joulix
