#include "SharedModels/DrainSnapshot.h"

#include <algorithm>

namespace joulix {

std::string ProcessDrain::id() const {
    return std::to_string(pid) + "-" + name;
}

bool ProcessDrain::hasPowermetricsSourceFlag() const {
    return std::any_of(sourceFlags.begin(), sourceFlags.end(),
                       [](const std::string& flag) { return flag.starts_with("powermetrics"); });
}

bool DrainSnapshot::totalIsEstimateOnly() const {
    return telemetry && telemetry->usedEstimatedTotalPower &&
           totalDischargeW <= components.displayPlusUsbW();
}

}  // namespace joulix
