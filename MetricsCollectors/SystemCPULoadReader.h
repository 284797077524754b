#pragma once
// The busy fraction of the whole machine between two calls, from the host's cumulative CPU tick
// counters. The first call only sets the baseline. Shared between threads: every sample runs
// under the reader's lock.
#include "Platform/CPULoadCounters.h"
#include "SharedModels/Date.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace joulix {

struct SystemCPUSample {
    double busyFraction = 0;  // 0 to 1
    int64_t logicalCPUCount = 1;
    double intervalSeconds = 0;

    friend bool operator==(const SystemCPUSample&, const SystemCPUSample&) = default;
};

class SystemCPULoadReader {
  public:
    // A count below 1 is raised to 1.
    explicit SystemCPULoadReader(
        int64_t logicalCPUCount,
        std::shared_ptr<const CPULoadCounters> counters = platformCPULoadCounters());

    SystemCPUSample sample(Date now);

  private:
    std::mutex lock_;
    int64_t logicalCPUCount_;
    std::shared_ptr<const CPULoadCounters> counters_;
    std::optional<CPULoadTicks> previousInfo_;
    std::optional<Date> lastSampleAt_;
};

}  // namespace joulix
