#pragma once
// CPU shares per responsible process without a subprocess: reads every process's accumulated
// CPU time from the process table and turns the increase since the previous call into a share,
// summed over the processes each responsible process answers for. The first call only primes
// the counters. Whole calls are serialised by its lock; never throws.
#include "MetricsCollectors/RunningProcessMetadataCache.h"
#include "MetricsCollectors/RunningProcessMetadataResolver.h"
#include "Platform/ProcessTable.h"
#include "Platform/Responsibility.h"
#include "SharedModels/Date.h"
#include "SharedModels/ProcessSample.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace joulix {

struct ResponsibleProcessSnapshot {
    std::vector<ProcessSample> processes;  // one per responsible process, busiest first
    double intervalSeconds = 0;

    friend bool operator==(const ResponsibleProcessSnapshot&,
                           const ResponsibleProcessSnapshot&) = default;
};

class ResponsibleProcessSampler {
  public:
    // The system's responsibility function, looked up once per process.
    static const ResponsiblePIDFunction& systemResponsibility();

    explicit ResponsibleProcessSampler(
        std::shared_ptr<const ProcessTable> processTable = systemProcessTable(),
        ResponsiblePIDFunction responsibility = systemResponsibility());

    ResponsibleProcessSnapshot sample(int64_t limit, Date now);

    RunningProcessMetadataLookup metadataResolver = RunningProcessMetadataResolver::systemLookup();
    RunningProcessMetadataCache* metadataCache = &RunningProcessMetadataCache::shared();

  private:
    struct GroupState {
        int64_t representativePID = 0;
        std::string representativeName;
        std::optional<std::string> representativeBundleID;
        std::optional<int64_t> representativeParentPID;
        int64_t responsiblePID = 0;
        uint64_t cpuTimeDeltaNs = 0;
        int64_t memberCount = 0;
        uint64_t bestRepresentativeDeltaNs = 0;
    };

    std::shared_ptr<const ProcessTable> processTable_;
    ResponsiblePIDFunction responsibility_;
    std::mutex lock_;
    std::unordered_map<int32_t, uint64_t> previousCPUTimeByPID_;
    std::optional<Date> lastSampleAt_;
};

}  // namespace joulix
