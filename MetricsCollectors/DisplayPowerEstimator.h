#pragma once
// The display's power in watts from the SMC's display power key; 0 when there is no reading.
#include "MetricsCollectors/SMCDisplayPowerReading.h"
#include "MetricsCollectors/ShellRunner.h"

#include <memory>

namespace joulix {

class DisplayPowerEstimator {
  public:
    // Without a reader, a new SMCReader (which connects at once) is used.
    explicit DisplayPowerEstimator(std::shared_ptr<const ShellRunning> shell = nullptr,
                                   std::shared_ptr<SMCDisplayPowerReading> smcReader = nullptr);

    // Never fails: an absent, negative or not-a-number reading gives 0.
    double estimateWatts() const;

    std::shared_ptr<SMCDisplayPowerReading> smcReader;
    std::shared_ptr<const ShellRunning> shell;  // held for the owner; no estimate uses it
};

}  // namespace joulix
