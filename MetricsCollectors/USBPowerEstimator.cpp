#include "MetricsCollectors/USBPowerEstimator.h"

#include "SharedModels/Text.h"

namespace joulix {

USBPowerEstimator::USBPowerEstimator(std::shared_ptr<const ShellRunning> shell_)
    : shell(std::move(shell_)) {}

double USBPowerEstimator::estimateWatts() const {
    ShellResult result;
    try {
        result = shell->run("/usr/sbin/system_profiler", {"SPUSBDataType", "-detailLevel", "mini"});
    } catch (const std::exception&) {
        return 0.5;
    }
    if (result.status != 0) return 0.5;

    int64_t devices = 0;
    for (const auto line : text::splitKeepingEmpty(result.stdout, '\n')) {
        if (line.find("Product ID:") != std::string_view::npos) ++devices;
    }
    const double watts = static_cast<double>(devices) * 0.45;
    if (watts <= 0) return 0;
    return watts > 9.0 ? 9.0 : watts;
}

}  // namespace joulix
