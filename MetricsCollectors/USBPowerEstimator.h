#pragma once
// A rough power figure for attached USB devices: 0.45 W for each device that
// `system_profiler SPUSBDataType -detailLevel mini` lists (a "Product ID:" line), at most 9 W;
// 0.5 W when the tool cannot be run or fails. Where the tool cannot be launched and the
// platform lists its USB devices (<sysRoot>/bus/usb/devices: devices, not interfaces, without
// root hubs and hubs), those are counted with the same figure and cap. Runs the tool on every
// call.
#include "MetricsCollectors/ShellRunner.h"

#include <memory>
#include <string>

namespace joulix {

struct USBPowerEstimate {
    double watts = 0;
    // "system_profiler", "sysfs", or "default" for the figure used when neither could count.
    std::string source;

    friend bool operator==(const USBPowerEstimate&, const USBPowerEstimate&) = default;
};

class USBPowerEstimator {
  public:
    explicit USBPowerEstimator(
        std::shared_ptr<const ShellRunning> shell = std::make_shared<DefaultShellRunner>(),
        std::string sysRoot = "/sys");

    // Never fails.
    double estimateWatts() const;
    USBPowerEstimate estimate() const;

    std::shared_ptr<const ShellRunning> shell;
    std::string sysRoot;
};

}  // namespace joulix
