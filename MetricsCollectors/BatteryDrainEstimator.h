#pragma once
// A plausible whole-system discharge figure from the CPU percentages of the top processes, for
// when nothing measured is available: 2.4 W plus 0.22 W per CPU percent, within 2.0 to 65.0 W.
#include <vector>

namespace joulix {

class BatteryDrainEstimator {
  public:
    double estimateTotalDischargeW(const std::vector<double>& topProcessCPU) const;
};

}  // namespace joulix
