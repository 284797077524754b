#include "MetricsCollectors/DisplayPowerEstimator.h"

#include "MetricsCollectors/SMCReader.h"

#include <cmath>

namespace joulix {

DisplayPowerEstimator::DisplayPowerEstimator(std::shared_ptr<const ShellRunning> shell_,
                                             std::shared_ptr<SMCDisplayPowerReading> smcReader_)
    : smcReader(smcReader_ ? std::move(smcReader_) : std::make_shared<SMCReader>()),
      shell(std::move(shell_)) {}

double DisplayPowerEstimator::estimateWatts() const {
    const auto watts = smcReader->readDisplayPowerWatts();
    if (!watts || std::isnan(*watts) || *watts < 0) return 0;
    return *watts;
}

}  // namespace joulix
