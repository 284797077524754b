#include "Platform/linux/SysfsPowerSources.h"

#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace joulix {

namespace {

// One supply directory and its attributes.
class Supply {
  public:
    explicit Supply(std::filesystem::path directory) : directory_(std::move(directory)) {}

    std::optional<std::string> text(const char* attribute) const {
        return sysfs::readText((directory_ / attribute).string());
    }
    std::optional<int64_t> integer(const char* attribute) const {
        return sysfs::readInteger((directory_ / attribute).string());
    }
    std::string directoryName() const { return directory_.filename().string(); }

    bool isAdapter() const {
        const auto type = text("type");
        return type == "Mains" || type == "USB" || type == "USB_C" || type == "USB_PD";
    }
    bool isSystemBattery() const {
        return text("type") == "Battery" && integer("present").value_or(1) != 0 &&
               text("scope") != "Device";
    }
    bool isOnline() const { return integer("online") == 1; }
    bool hasStatus(std::string_view status) const { return text("status") == status; }

  private:
    std::filesystem::path directory_;
};

std::vector<Supply> listSupplies(const std::string& sysRoot) {
    std::error_code error;
    std::vector<std::filesystem::path> directories;
    for (std::filesystem::directory_iterator it(sysRoot + "/class/power_supply", error), end;
         !error && it != end; it.increment(error)) {
        directories.push_back(it->path());
    }
    std::sort(directories.begin(), directories.end());
    return {directories.begin(), directories.end()};
}

std::optional<Supply> findBattery(const std::vector<Supply>& supplies) {
    for (const auto& supply : supplies) {
        if (supply.isSystemBattery()) return supply;
    }
    return std::nullopt;
}

// A derived value as a whole number (truncated); absent when it is not finite or out of the
// integer range, since an attribute file may hold any integer.
std::optional<int64_t> wholeNumber(double value) {
    if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0)) return std::nullopt;
    return static_cast<int64_t>(value);
}

// Charge in mAh from the charge attribute, else from the energy attribute through the design
// voltage.
std::optional<int64_t> capacityMah(const Supply& battery, const char* chargeAttribute,
                                   const char* energyAttribute) {
    if (const auto charge = battery.integer(chargeAttribute)) return *charge / 1000;
    const auto energy = battery.integer(energyAttribute);
    if (!energy) return std::nullopt;
    auto voltage = battery.integer("voltage_min_design");
    if (!voltage || *voltage <= 0) voltage = battery.integer("voltage_max_design");
    if (!voltage || *voltage <= 0) voltage = battery.integer("voltage_now");
    if (!voltage || *voltage <= 0) return std::nullopt;
    return wholeNumber(static_cast<double>(*energy) * 1000.0 / static_cast<double>(*voltage));
}

// Minutes for `amount` (µAh or µWh) at `flow` (µA or µW); -1 without flow.
int64_t minutesAtFlow(double amount, int64_t flow) {
    if (flow == 0) return -1;
    const double hours = std::max(amount, 0.0) / std::fabs(static_cast<double>(flow));
    return wholeNumber(std::round(hours * 60.0)).value_or(-1);
}

int64_t timeToEmptyMinutes(const Supply& battery) {
    if (const auto seconds = battery.integer("time_to_empty_now")) return *seconds / 60;
    const auto chargeNow = battery.integer("charge_now");
    const auto current = battery.integer("current_now");
    if (chargeNow && current) return minutesAtFlow(static_cast<double>(*chargeNow), *current);
    const auto energyNow = battery.integer("energy_now");
    const auto power = battery.integer("power_now");
    if (energyNow && power) return minutesAtFlow(static_cast<double>(*energyNow), *power);
    return -1;
}

int64_t timeToFullMinutes(const Supply& battery) {
    if (const auto seconds = battery.integer("time_to_full_now")) return *seconds / 60;
    const auto chargeNow = battery.integer("charge_now");
    const auto chargeFull = battery.integer("charge_full");
    const auto current = battery.integer("current_now");
    if (chargeNow && chargeFull && current) {
        return minutesAtFlow(static_cast<double>(*chargeFull) - static_cast<double>(*chargeNow),
                             *current);
    }
    const auto energyNow = battery.integer("energy_now");
    const auto energyFull = battery.integer("energy_full");
    const auto power = battery.integer("power_now");
    if (energyNow && energyFull && power) {
        return minutesAtFlow(static_cast<double>(*energyFull) - static_cast<double>(*energyNow),
                             *power);
    }
    return -1;
}

class SysfsBatteryEntry final : public BatteryRegistryEntry {
  public:
    explicit SysfsBatteryEntry(Supply battery) : battery_(std::move(battery)) {}

    std::optional<PowerSourceValue> property(std::string_view key) const override {
        const auto wrap = [](const auto& value) -> std::optional<PowerSourceValue> {
            if (!value) return std::nullopt;
            return PowerSourceValue(*value);
        };
        if (key == "AppleRawCurrentCapacity" || key == "CurrentCapacity") {
            return wrap(capacityMah(battery_, "charge_now", "energy_now"));
        }
        if (key == "AppleRawMaxCapacity" || key == "MaxCapacity" ||
            key == "NominalChargeCapacity") {
            return wrap(capacityMah(battery_, "charge_full", "energy_full"));
        }
        if (key == "DesignCapacity") {
            return wrap(capacityMah(battery_, "charge_full_design", "energy_full_design"));
        }
        if (key == "Voltage") {
            const auto microvolts = battery_.integer("voltage_now");
            return wrap(microvolts ? std::optional<int64_t>(*microvolts / 1000) : std::nullopt);
        }
        if (key == "Amperage" || key == "InstantAmperage") return wrap(amperageMa());
        if (key == "IsCharging") {
            if (!battery_.text("status")) return std::nullopt;
            return PowerSourceValue(battery_.hasStatus("Charging"));
        }
        if (key == "CycleCount") return wrap(battery_.integer("cycle_count"));
        if (key == "Temperature") {
            const auto deciC = battery_.integer("temp");
            return wrap(deciC ? wholeNumber(static_cast<double>(*deciC) * 10.0) : std::nullopt);
        }
        if (key == "Serial" || key == "BatterySerialNumber") {
            return wrap(battery_.text("serial_number"));
        }
        if (key == "DeviceName") return wrap(battery_.text("model_name"));
        return std::nullopt;
    }

  private:
    std::optional<int64_t> amperageMa() const {
        std::optional<int64_t> magnitude;
        if (const auto microamps = battery_.integer("current_now")) {
            magnitude = wholeNumber(std::fabs(static_cast<double>(*microamps)) / 1000.0);
        } else {
            const auto microwatts = battery_.integer("power_now");
            const auto microvolts = battery_.integer("voltage_now");
            if (microwatts && microvolts && *microvolts > 0) {
                magnitude = wholeNumber(std::fabs(static_cast<double>(*microwatts)) * 1000.0 /
                                        static_cast<double>(*microvolts));
            }
        }
        if (!magnitude) return std::nullopt;
        return battery_.hasStatus("Discharging") ? -*magnitude : *magnitude;
    }

    Supply battery_;
};

}  // namespace

std::optional<std::vector<PowerSourceDictionary>>
SysfsPowerSources::powerSourceDescriptions() const {
    const auto supplies = listSupplies(sysRoot_);
    const auto battery = findBattery(supplies);
    if (!battery) return std::vector<PowerSourceDictionary>{};

    bool hasAdapter = false;
    bool adapterOnline = false;
    for (const auto& supply : supplies) {
        if (!supply.isAdapter()) continue;
        hasAdapter = true;
        adapterOnline = adapterOnline || supply.isOnline();
    }
    const bool discharging = battery->hasStatus("Discharging");
    const bool onBattery = hasAdapter ? !adapterOnline : discharging;

    PowerSourceDictionary description;
    description["Is Charged"] = battery->hasStatus("Full");
    description["Power Source State"] = std::string(onBattery ? "Battery Power" : "AC Power");
    if (const auto percent = battery->integer("capacity")) {
        description["Current Capacity"] = *percent;
        description["Max Capacity"] = int64_t{100};
    }
    if (discharging) description["Time to Empty"] = timeToEmptyMinutes(*battery);
    if (battery->hasStatus("Charging")) {
        description["Time to Full Charge"] = timeToFullMinutes(*battery);
    }
    return std::vector<PowerSourceDictionary>{std::move(description)};
}

std::shared_ptr<const BatteryRegistryEntry> SysfsPowerSources::matchBatteryEntry() const {
    const auto battery = findBattery(listSupplies(sysRoot_));
    if (!battery) return nullptr;
    return std::make_shared<SysfsBatteryEntry>(*battery);
}

std::optional<PowerSourceDictionary> SysfsPowerSources::externalPowerAdapterDetails() const {
    for (const auto& supply : listSupplies(sysRoot_)) {
        if (!supply.isAdapter() || !supply.isOnline()) continue;
        PowerSourceDictionary details;
        const auto model = supply.text("model_name");
        details["Name"] = model && !model->empty() ? *model : supply.directoryName();
        const auto microvolts = supply.integer("voltage_max");
        const auto microamps = supply.integer("current_max");
        if (microvolts && microamps) {
            if (const auto watts = wholeNumber(std::round(
                    static_cast<double>(*microvolts) * static_cast<double>(*microamps) / 1e12))) {
                details["Watts"] = *watts;
            }
        }
        return details;
    }
    return std::nullopt;
}

std::shared_ptr<const PowerSources> platformPowerSources() {
    return std::make_shared<SysfsPowerSources>();
}

}  // namespace joulix
