#include "MetricsCollectors/BatteryDrainEstimator.h"

#include <cmath>

namespace joulix {

double
BatteryDrainEstimator::estimateTotalDischargeW(const std::vector<double>& topProcessCPU) const {
    if (topProcessCPU.empty()) return 2.4;
    double sum = 0;
    for (const double cpu : topProcessCPU) {
        if (!std::isnan(cpu) && cpu > 0) sum += cpu;
    }
    const double watts = sum * 0.22 + 2.4;
    if (watts > 65.0) return 65.0;
    return watts <= 2.0 ? 2.0 : watts;
}

}  // namespace joulix
