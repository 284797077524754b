#pragma once
// Power sources on Linux, from <sysRoot>/class/power_supply. The system batteries are the
// supplies of type "Battery" that are present and do not power a peripheral (scope "Device");
// several are seen as one (energy, charge, power and current summed, the first one's
// descriptive attributes). Adapters are the supplies of any other type, not of a peripheral,
// that have an online attribute (Mains, USB, USB_C, USB_PD, Wireless, ...); one without it is no
// adapter. Online means online ≥ 1 (2 is a programmable USB PD source).
// Units of sysfs: charge µAh, energy µWh, voltage µV, current µA, power µW, temp 0.1 °C.
// A battery's flow is negative while it discharges: when the kernel reports a negative
// current_now (or power_now), or the status reads "Discharging". The batteries discharge when
// their summed current (else power) is negative, or without a flow one's status says so.
//
// Each battery's amounts come from one family: energy_* (µWh) when energy_now and energy_full
// are both there, else charge_* (µAh) times the design voltage (voltage_min_design, else
// voltage_max_design, else voltage_now). Its power is power_now, else current_now × voltage_now.
//
// Power-source description (the batteries are the only power source; none, no sources):
//   "Is Charged"          every status is "Full"
//   "Power Source State"  "AC Power" when an adapter is online; "Battery Power" when adapters
//                         exist and none is online; without adapters, "Battery Power" while
//                         discharging, else "AC Power"
//   "Current Capacity"    the level as a ratio of the two. One battery: capacity over 100, else
//   "Max Capacity"        its now over full. Several: Σ energy_now / Σ energy_full when every
//                         one reports energy, Σ charge_now / Σ charge_full when every one reports
//                         charge, else the mean of their own levels weighted by full energy
//                         (equally when one's is unknown). Both left out when underivable.
//   "Time to Empty"       while discharging: time_to_empty_now / 60 (one battery), else the
//                         summed charge_now / current_now (or energy_now / power_now) in
//                         minutes, -1 without flow
//   "Time to Full Charge" while a status is "Charging": time_to_full_now / 60 (one battery),
//                         else (charge_full − charge_now) / current_now (or the energy
//                         equivalents) in minutes, -1 without flow
//
// Battery registry entry (sums over the batteries; absent when one lacks the value):
//   "AppleRawCurrentCapacity", "CurrentCapacity"  now in mAh (charge / 1000, or energy through
//                                                 the design voltage)
//   "AppleRawMaxCapacity", "MaxCapacity",
//   "NominalChargeCapacity"                       full in mAh, likewise
//   "DesignCapacity"                              full_design in mAh, likewise
//   "RemainingEnergyMicroWh"                      now in µWh (energy, or charge × voltage)
//   "PowerMicroW"                                 the signed power in µW
//   "Voltage"                                     mean voltage_now / 1000 (mV)
//   "Amperage", "InstantAmperage"                 the signed current / 1000 (mA); without
//                                                 current_now, power_now / voltage_now
//   "IsCharging"                                  a status is "Charging"
//   "CycleCount"                                  cycle_count when above 0
//   "Temperature"                                 temp × 10 (hundredths of °C)
//   "Serial", "BatterySerialNumber"               serial_number   (control bytes dropped)
//   "DeviceName"                                  model_name      (control bytes dropped)
//   any other key                                 absent
//
// Adapter details (the first online adapter):
//   "Name"   its model_name, else its directory name
//   "Watts"  voltage_max × current_max / 10^12, rounded, when both are present
//
// On battery power: as "Power Source State" says "Battery Power"; false without a system
// battery; unknown when the power_supply class is missing.
//
// Every question reads the files it needs once; a reading() reads each file once for all the
// questions asked of it.
#include "Platform/PowerSources.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace joulix {

class SysfsPowerSources final : public PowerSources {
  public:
    // What has been read: shared by the supplies of one question, or of one reading.
    struct ReadFiles {
        std::map<std::string, std::optional<std::string>, std::less<>> byPath;
        std::optional<std::vector<std::filesystem::path>> supplyDirectories;
    };

    explicit SysfsPowerSources(std::string sysRoot = "/sys") : sysRoot_(std::move(sysRoot)) {}

    std::optional<std::vector<PowerSourceDictionary>> powerSourceDescriptions() const override;
    std::shared_ptr<const BatteryRegistryEntry> matchBatteryEntry() const override;
    std::optional<PowerSourceDictionary> externalPowerAdapterDetails() const override;
    std::optional<bool> isOnBatteryPower() const override;
    std::shared_ptr<const PowerSources> reading() const override;

  private:
    SysfsPowerSources(std::string sysRoot, std::shared_ptr<ReadFiles> readingFiles)
        : sysRoot_(std::move(sysRoot)), readingFiles_(std::move(readingFiles)) {}
    // The files for one question: the reading's, or new ones.
    std::shared_ptr<ReadFiles> filesForQuestion() const;

    std::string sysRoot_;
    std::shared_ptr<ReadFiles> readingFiles_;  // set in a reading
};

}  // namespace joulix
