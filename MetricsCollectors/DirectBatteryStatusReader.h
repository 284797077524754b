#pragma once
// The battery's status straight from the power-source services and the battery controller's
// registry entry, without a subprocess: for callers that sample often. The entry is matched once
// at construction. Absent when there is no power source. Shared between threads: every sample
// runs under the reader's lock.
#include "Platform/PowerSources.h"
#include "SharedModels/BatteryStatusSample.h"

#include <memory>
#include <mutex>
#include <optional>

namespace joulix {

class DirectBatteryStatusReader {
  public:
    explicit DirectBatteryStatusReader(
        std::shared_ptr<const PowerSources> powerSources = platformPowerSources());

    std::optional<BatteryStatusSample> sample();
    // Whether the machine runs from its battery, as the power sources tell; absent when they
    // cannot.
    std::optional<bool> isOnBatteryPower();

    struct SampleAndPowerSource {
        std::optional<BatteryStatusSample> sample;
        std::optional<bool> isOnBatteryPower;
    };
    // Both of the above from one reading of the power sources.
    SampleAndPowerSource sampleWithPowerSource();

  private:
    std::optional<BatteryStatusSample> sampleOf(const PowerSources& sources,
                                                const BatteryRegistryEntry* service) const;

    std::mutex lock_;
    std::shared_ptr<const PowerSources> powerSources_;
    std::shared_ptr<const BatteryRegistryEntry> service_;
};

}  // namespace joulix
