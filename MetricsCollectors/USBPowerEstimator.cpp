#include "MetricsCollectors/USBPowerEstimator.h"

#include "Platform/USBDevices.h"
#include "SharedModels/Text.h"

namespace joulix {

namespace {

constexpr double fallbackWatts = 0.5;

double wattsFor(int64_t devices) {
    const double watts = static_cast<double>(devices) * 0.45;
    if (watts <= 0) return 0;
    return watts > 9.0 ? 9.0 : watts;
}

}  // namespace

USBPowerEstimator::USBPowerEstimator(std::shared_ptr<const ShellRunning> shell_,
                                     std::string sysRoot_)
    : shell(std::move(shell_)), sysRoot(std::move(sysRoot_)) {}

double USBPowerEstimator::estimateWatts() const {
    return estimate().watts;
}

USBPowerEstimate USBPowerEstimator::estimate() const {
    ShellResult result;
    try {
        result = shell->run("/usr/sbin/system_profiler", {"SPUSBDataType", "-detailLevel", "mini"});
    } catch (const ShellRunnerError& error) {
        if (error.kind() == ShellRunnerError::Kind::failedToLaunch) {
            if (const auto devices = connectedUSBDeviceCount(sysRoot)) {
                return {wattsFor(*devices), "sysfs"};
            }
        }
        return {fallbackWatts, "default"};
    } catch (const std::exception&) {
        return {fallbackWatts, "default"};
    }
    if (result.status != 0) return {fallbackWatts, "default"};

    int64_t devices = 0;
    for (const auto line : text::splitKeepingEmpty(result.stdout, '\n')) {
        if (line.find("Product ID:") != std::string_view::npos) ++devices;
    }
    return {wattsFor(devices), "system_profiler"};
}

}  // namespace joulix
