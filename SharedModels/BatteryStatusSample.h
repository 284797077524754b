#pragma once
// One reading of the battery controller. Every figure but the two power flags may be
// unavailable; the level is absent when the battery reports nothing it can be derived from.
// Every member starts zero, empty or absent, so designated initializers name only what they set.
#include <cstdint>
#include <optional>
#include <string>

namespace joulix {

struct BatteryStatusSample {
    std::optional<double> levelPercent{};
    std::optional<double> remainingWh{};
    bool isCharging = false;
    bool externalPowerConnected = false;
    std::optional<int64_t> systemTimeRemainingMinutes{};
    std::optional<double> dischargeWatts{};
    std::optional<int64_t> cycleCount{};
    std::optional<int64_t> voltageMV{};
    // Signed: negative while discharging.
    std::optional<int64_t> amperageMa{};
    std::optional<int64_t> temperatureCentiC{};
    std::optional<int64_t> designCapacityMah{};
    std::optional<int64_t> maxCapacityMah{};
    std::optional<int64_t> currentCapacityMah{};
    std::optional<int64_t> nominalChargeCapacityMah{};
    std::optional<int64_t> designCycleCount{};
    std::optional<std::string> serialNumber{};
    std::optional<std::string> deviceName{};
    std::optional<bool> fullyCharged{};
    std::optional<bool> isACPowered{};
    std::optional<int64_t> adapterWatts{};
    std::optional<std::string> adapterName{};

    friend bool operator==(const BatteryStatusSample&, const BatteryStatusSample&) = default;
};

}  // namespace joulix
