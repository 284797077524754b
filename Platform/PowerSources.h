#pragma once
// The machine's power sources as the battery reader asks for them: the description dictionary
// of each power source, the battery controller's registry entry (one property per key) and the
// details of the connected power adapter. Values use the Info dictionary value model (boolean,
// integer, real, text). The Linux source (linux/SysfsPowerSources.h) reads
// /sys/class/power_supply.
#include "Platform/MainBundle.h"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace joulix {

using PowerSourceValue = InfoValue;
using PowerSourceDictionary = InfoDictionary;

class BatteryRegistryEntry {
  public:
    virtual ~BatteryRegistryEntry() = default;
    // The value of one property; absent when the entry does not have it.
    virtual std::optional<PowerSourceValue> property(std::string_view key) const = 0;
};

class PowerSources {
  public:
    virtual ~PowerSources() = default;
    // The description of every power source; absent when the information is unavailable.
    virtual std::optional<std::vector<PowerSourceDictionary>> powerSourceDescriptions() const = 0;
    // The battery controller's registry entry; null when the machine has none.
    virtual std::shared_ptr<const BatteryRegistryEntry> matchBatteryEntry() const = 0;
    // The connected power adapter's details; absent when no adapter is connected.
    virtual std::optional<PowerSourceDictionary> externalPowerAdapterDetails() const = 0;
    // Whether the machine runs from its battery; absent when the platform cannot tell.
    virtual std::optional<bool> isOnBatteryPower() const { return std::nullopt; }
    // These power sources as of now, for one caller asking many questions at once: every answer
    // of the returned object (its battery entry's properties too) comes from one reading of the
    // platform. Null when the platform has no cheaper way than asking this object.
    virtual std::shared_ptr<const PowerSources> reading() const { return nullptr; }
};

// This platform's power sources.
std::shared_ptr<const PowerSources> platformPowerSources();

}  // namespace joulix
