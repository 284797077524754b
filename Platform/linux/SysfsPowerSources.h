#pragma once
// Power sources on Linux, from <sysRoot>/class/power_supply. The battery is the first supply (in
// directory-name order) of type "Battery" that is present and does not power a peripheral
// (scope "Device"); adapters are the supplies of type "Mains", "USB", "USB_C" or "USB_PD".
// Units of sysfs: charge µAh, energy µWh, voltage µV, current µA, power µW, temp 0.1 °C.
// "Discharging" below means the battery's status attribute reads "Discharging".
//
// Power-source description (the battery is the only power source; no battery, no sources):
//   "Is Charged"          status is "Full"
//   "Power Source State"  "AC Power" when an adapter's online is 1; "Battery Power" when
//                         adapters exist and none is online; without adapters, "Battery Power"
//                         while discharging, else "AC Power"
//   "Current Capacity"    capacity (percent)
//   "Max Capacity"        100, when capacity is present
//   "Time to Empty"       while discharging: time_to_empty_now / 60, else charge_now /
//                         current_now (or energy_now / power_now) in minutes, -1 without flow
//   "Time to Full Charge" while status is "Charging": time_to_full_now / 60, else
//                         (charge_full − charge_now) / current_now (or the energy equivalents)
//                         in minutes, -1 without flow
//
// Battery registry entry:
//   "AppleRawCurrentCapacity", "CurrentCapacity"  charge_now / 1000 (mAh), else energy_now
//                                                 converted through the design voltage
//   "AppleRawMaxCapacity", "MaxCapacity",
//   "NominalChargeCapacity"                       charge_full, else energy_full, likewise
//   "DesignCapacity"                              charge_full_design, else energy_full_design
//   "Voltage"                                     voltage_now / 1000 (mV)
//   "Amperage", "InstantAmperage"                 |current_now| / 1000 (mA), else
//                                                 |power_now| / voltage_now; negative while
//                                                 discharging
//   "IsCharging"                                  status is "Charging"
//   "CycleCount"                                  cycle_count
//   "Temperature"                                 temp × 10 (hundredths of °C)
//   "Serial", "BatterySerialNumber"               serial_number
//   "DeviceName"                                  model_name
//   any other key                                 absent
// The design voltage is voltage_min_design, else voltage_max_design, else voltage_now;
// µWh × 1000 / µV gives mAh.
//
// Adapter details (the first adapter whose online is 1):
//   "Name"   its model_name, else its directory name
//   "Watts"  voltage_max × current_max / 10^12, rounded, when both are present
#include "Platform/PowerSources.h"

#include <string>

namespace joulix {

class SysfsPowerSources final : public PowerSources {
  public:
    explicit SysfsPowerSources(std::string sysRoot = "/sys") : sysRoot_(std::move(sysRoot)) {}

    std::optional<std::vector<PowerSourceDictionary>> powerSourceDescriptions() const override;
    std::shared_ptr<const BatteryRegistryEntry> matchBatteryEntry() const override;
    std::optional<PowerSourceDictionary> externalPowerAdapterDetails() const override;

  private:
    std::string sysRoot_;
};

}  // namespace joulix
