#pragma once
// A rough power figure for attached USB devices: 0.45 W for each device that
// `system_profiler SPUSBDataType -detailLevel mini` lists (a "Product ID:" line), at most 9 W;
// 0.5 W when the tool cannot be run or fails. Runs the tool on every call.
#include "MetricsCollectors/ShellRunner.h"

#include <memory>

namespace joulix {

class USBPowerEstimator {
  public:
    explicit USBPowerEstimator(
        std::shared_ptr<const ShellRunning> shell = std::make_shared<DefaultShellRunner>());

    // Never fails.
    double estimateWatts() const;

    std::shared_ptr<const ShellRunning> shell;
};

}  // namespace joulix
