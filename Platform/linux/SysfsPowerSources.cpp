#include "Platform/linux/SysfsPowerSources.h"

#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

namespace joulix {

namespace {

// One supply directory and its attributes, each read once into the files it shares with the
// other supplies of the same question (or reading). The kernel lists every property of a supply
// in its uevent, as the property's own file shows it: one read of that file stands in for a
// read per attribute. A uevent with the supply's type (recent kernels list it) is complete,
// so a property it lacks is absent; without the type, or without a uevent, an attribute it
// lacks is read from its own file.
class Supply {
  public:
    using ReadFiles = SysfsPowerSources::ReadFiles;

    Supply(std::filesystem::path directory, std::shared_ptr<ReadFiles> files)
        : directory_(std::move(directory)), files_(std::move(files)) {}

    // The same supply, its attributes to be read again.
    Supply fresh() const { return Supply(directory_, std::make_shared<ReadFiles>()); }

    std::optional<std::string> text(const char* attribute) const {
        const bool ueventIsComplete = readUevent();
        const std::string path = (directory_ / attribute).string();
        const auto found = files_->byPath.find(path);
        if (found != files_->byPath.end()) return found->second;
        if (ueventIsComplete) return std::nullopt;
        return files_->byPath.emplace(path, sysfs::readText(path)).first->second;
    }
    std::optional<int64_t> integer(const char* attribute) const {
        return sysfs::parseInteger(text(attribute));
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
    // Reads the uevent once (its entry then records whether it is complete); true when it is.
    bool readUevent() const {
        const std::string path = (directory_ / "uevent").string();
        const auto [entry, isNew] = files_->byPath.try_emplace(path);
        if (!isNew) return entry->second.has_value();
        const auto uevent = sysfs::readFile(path, 64 * 1024);
        if (!uevent) return false;
        bool hasType = false;
        for (auto& [name, value] : sysfs::powerSupplyUeventProperties(*uevent)) {
            hasType = hasType || name == "type";
            files_->byPath.try_emplace((directory_ / name).string(), std::move(value));
        }
        if (hasType) files_->byPath[path] = "complete";
        return hasType;
    }

    std::filesystem::path directory_;
    std::shared_ptr<ReadFiles> files_;
};

std::vector<Supply> listSupplies(const std::string& sysRoot,
                                 const std::shared_ptr<SysfsPowerSources::ReadFiles>& files) {
    if (!files->supplyDirectories) {
        std::error_code error;
        std::vector<std::filesystem::path> directories;
        for (std::filesystem::directory_iterator it(sysRoot + "/class/power_supply", error), end;
             !error && it != end; it.increment(error)) {
            directories.push_back(it->path());
        }
        std::sort(directories.begin(), directories.end());
        files->supplyDirectories = std::move(directories);
    }
    std::vector<Supply> supplies;
    for (const auto& directory : *files->supplyDirectories)
        supplies.emplace_back(directory, files);
    return supplies;
}

std::vector<Supply> systemBatteries(const std::vector<Supply>& supplies) {
    std::vector<Supply> batteries;
    for (const auto& supply : supplies) {
        if (supply.isSystemBattery()) batteries.push_back(supply);
    }
    return batteries;
}

// A derived value as a whole number (truncated); absent when it is not finite or out of the
// integer range, since an attribute file may hold any integer.
std::optional<int64_t> wholeNumber(double value) {
    if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0)) return std::nullopt;
    return static_cast<int64_t>(value);
}

// Charge in mAh from the charge attribute, else from the energy attribute through the design
// voltage.
std::optional<double> capacityMah(const Supply& battery, const char* chargeAttribute,
                                  const char* energyAttribute) {
    if (const auto charge = battery.integer(chargeAttribute)) {
        return static_cast<double>(*charge) / 1000.0;
    }
    const auto energy = battery.integer(energyAttribute);
    if (!energy) return std::nullopt;
    auto voltage = battery.integer("voltage_min_design");
    if (!voltage || *voltage <= 0) voltage = battery.integer("voltage_max_design");
    if (!voltage || *voltage <= 0) voltage = battery.integer("voltage_now");
    if (!voltage || *voltage <= 0) return std::nullopt;
    return static_cast<double>(*energy) * 1000.0 / static_cast<double>(*voltage);
}

// The battery's current in µA, negative while it discharges: the kernel's sign when it gives a
// negative current_now (or power_now), else the status "Discharging". Without current_now,
// power_now / voltage_now.
std::optional<double> signedCurrentUA(const Supply& battery) {
    std::optional<double> current;
    if (const auto microamps = battery.integer("current_now")) {
        current = static_cast<double>(*microamps);
    } else {
        const auto microwatts = battery.integer("power_now");
        const auto microvolts = battery.integer("voltage_now");
        if (microwatts && microvolts && *microvolts > 0) {
            current = static_cast<double>(*microwatts) * 1e6 / static_cast<double>(*microvolts);
        }
    }
    if (!current) return std::nullopt;
    return *current < 0 || battery.hasStatus("Discharging") ? -std::fabs(*current)
                                                            : std::fabs(*current);
}

// Minutes for `amount` (µAh or µWh) at `flow` (µA or µW); -1 without flow.
int64_t minutesAtFlow(double amount, double flow) {
    if (flow == 0) return -1;
    const double hours = std::max(amount, 0.0) / std::fabs(flow);
    return wholeNumber(std::round(hours * 60.0)).value_or(-1);
}

// The system batteries seen as one: charge, energy and current summed, the level the sum now
// over the sum full, the voltage their mean. Descriptive attributes come from the first.
class Batteries {
  public:
    explicit Batteries(std::vector<Supply> batteries) : batteries_(std::move(batteries)) {}

    Batteries fresh() const {
        std::vector<Supply> batteries;
        for (const auto& battery : batteries_)
            batteries.push_back(battery.fresh());
        return Batteries(std::move(batteries));
    }

    bool empty() const { return batteries_.empty(); }
    const Supply& first() const { return batteries_.front(); }

    // The sum over every battery; absent when one of them lacks the value.
    template <typename Read> std::optional<double> sum(Read read) const {
        double total = 0;
        for (const auto& battery : batteries_) {
            const std::optional<double> value = read(battery);
            if (!value) return std::nullopt;
            total += *value;
        }
        return total;
    }
    std::optional<double> mah(const char* chargeAttribute, const char* energyAttribute) const {
        return sum(
            [&](const Supply& b) { return capacityMah(b, chargeAttribute, energyAttribute); });
    }
    std::optional<double> attribute(const char* name) const {
        return sum([&](const Supply& b) -> std::optional<double> {
            const auto value = b.integer(name);
            return value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt;
        });
    }
    std::optional<double> currentUA() const { return sum(signedCurrentUA); }
    std::optional<double> voltageUV() const {
        const auto total = attribute("voltage_now");
        if (!total) return std::nullopt;
        return *total / static_cast<double>(batteries_.size());
    }

    bool isDischarging() const {
        if (const auto current = currentUA(); current && *current != 0) return *current < 0;
        return std::any_of(batteries_.begin(), batteries_.end(),
                           [](const Supply& b) { return b.hasStatus("Discharging"); });
    }
    bool isCharging() const {
        return std::any_of(batteries_.begin(), batteries_.end(),
                           [](const Supply& b) { return b.hasStatus("Charging"); });
    }
    bool isFull() const {
        return std::all_of(batteries_.begin(), batteries_.end(),
                           [](const Supply& b) { return b.hasStatus("Full"); });
    }

    // One battery: the kernel's capacity percent. Several: the sum now and the sum full, in
    // mAh, whose ratio is the level.
    void describeLevel(PowerSourceDictionary& description) const {
        if (batteries_.size() == 1) {
            if (const auto percent = first().integer("capacity")) {
                description["Current Capacity"] = *percent;
                return;
            }
        }
        const auto now = mah("charge_now", "energy_now");
        const auto full = mah("charge_full", "energy_full");
        const auto nowWhole = now ? wholeNumber(*now) : std::nullopt;
        const auto fullWhole = full ? wholeNumber(*full) : std::nullopt;
        if (nowWhole && fullWhole) {
            description["Current Capacity"] = *nowWhole;
            description["Max Capacity"] = *fullWhole;
        }
    }

    int64_t timeToEmptyMinutes() const {
        if (batteries_.size() == 1) {
            if (const auto seconds = first().integer("time_to_empty_now")) return *seconds / 60;
        }
        return minutesAtPresentFlow(false);
    }
    int64_t timeToFullMinutes() const {
        if (batteries_.size() == 1) {
            if (const auto seconds = first().integer("time_to_full_now")) return *seconds / 60;
        }
        return minutesAtPresentFlow(true);
    }

  private:
    // Minutes at the present flow until the batteries are empty (or full): the charge over the
    // current, else the energy over the power; -1 without them.
    int64_t minutesAtPresentFlow(bool untilFull) const {
        const auto amount = [&](const char* nowName,
                                const char* fullName) -> std::optional<double> {
            const auto now = attribute(nowName);
            if (!untilFull || !now) return now;
            const auto full = attribute(fullName);
            return full ? std::optional<double>(*full - *now) : std::nullopt;
        };
        const auto charge = amount("charge_now", "charge_full");
        const auto current = attribute("current_now");
        if (charge && current) return minutesAtFlow(*charge, *current);
        const auto energy = amount("energy_now", "energy_full");
        const auto power = attribute("power_now");
        if (energy && power) return minutesAtFlow(*energy, *power);
        return -1;
    }

    std::vector<Supply> batteries_;
};

std::optional<int64_t> wholeOf(const std::optional<double>& value) {
    return value ? wholeNumber(*value) : std::nullopt;
}

// The matched entry outlives many samples, so each of its properties is read afresh; an entry of
// a reading answers from that reading.
class SysfsBatteryEntry final : public BatteryRegistryEntry {
  public:
    SysfsBatteryEntry(Batteries batteries, bool ofReading)
        : batteries_(std::move(batteries)), ofReading_(ofReading) {}

    std::optional<PowerSourceValue> property(std::string_view key) const override {
        const auto wrap = [](const auto& value) -> std::optional<PowerSourceValue> {
            if (!value) return std::nullopt;
            return PowerSourceValue(*value);
        };
        const Batteries batteries = ofReading_ ? batteries_ : batteries_.fresh();
        const Supply& first = batteries.first();
        if (key == "AppleRawCurrentCapacity" || key == "CurrentCapacity") {
            return wrap(wholeOf(batteries.mah("charge_now", "energy_now")));
        }
        if (key == "AppleRawMaxCapacity" || key == "MaxCapacity" ||
            key == "NominalChargeCapacity") {
            return wrap(wholeOf(batteries.mah("charge_full", "energy_full")));
        }
        if (key == "DesignCapacity") {
            return wrap(wholeOf(batteries.mah("charge_full_design", "energy_full_design")));
        }
        if (key == "RemainingEnergyMicroWh") {
            return wrap(wholeOf(batteries.attribute("energy_now")));
        }
        if (key == "Voltage") {
            const auto microvolts = batteries.voltageUV();
            return wrap(microvolts ? wholeNumber(*microvolts / 1000.0) : std::nullopt);
        }
        if (key == "Amperage" || key == "InstantAmperage") {
            const auto microamps = batteries.currentUA();
            return wrap(microamps ? wholeNumber(*microamps / 1000.0) : std::nullopt);
        }
        if (key == "IsCharging") {
            if (!first.text("status")) return std::nullopt;
            return PowerSourceValue(batteries.isCharging());
        }
        if (key == "CycleCount") return wrap(first.integer("cycle_count"));
        if (key == "Temperature") {
            const auto deciC = first.integer("temp");
            return wrap(deciC ? wholeNumber(static_cast<double>(*deciC) * 10.0) : std::nullopt);
        }
        if (key == "Serial" || key == "BatterySerialNumber") {
            return wrap(first.text("serial_number"));
        }
        if (key == "DeviceName") return wrap(first.text("model_name"));
        return std::nullopt;
    }

  private:
    Batteries batteries_;
    bool ofReading_;
};

// Whether the machine runs from its batteries: adapters decide when there are any, else the
// batteries' own flow; no system battery means mains power.
bool runsOnBattery(const std::vector<Supply>& supplies, const Batteries& batteries) {
    if (batteries.empty()) return false;
    bool hasAdapter = false;
    bool adapterOnline = false;
    for (const auto& supply : supplies) {
        if (!supply.isAdapter()) continue;
        hasAdapter = true;
        adapterOnline = adapterOnline || supply.isOnline();
    }
    return hasAdapter ? !adapterOnline : batteries.isDischarging();
}

}  // namespace

std::optional<std::vector<PowerSourceDictionary>>
SysfsPowerSources::powerSourceDescriptions() const {
    const auto supplies = listSupplies(sysRoot_, filesForQuestion());
    const Batteries batteries(systemBatteries(supplies));
    if (batteries.empty()) return std::vector<PowerSourceDictionary>{};

    PowerSourceDictionary description;
    description["Is Charged"] = batteries.isFull();
    description["Power Source State"] =
        std::string(runsOnBattery(supplies, batteries) ? "Battery Power" : "AC Power");
    batteries.describeLevel(description);
    if (batteries.isDischarging()) description["Time to Empty"] = batteries.timeToEmptyMinutes();
    if (batteries.isCharging()) {
        description["Time to Full Charge"] = batteries.timeToFullMinutes();
    }
    return std::vector<PowerSourceDictionary>{std::move(description)};
}

std::shared_ptr<const BatteryRegistryEntry> SysfsPowerSources::matchBatteryEntry() const {
    Batteries batteries(systemBatteries(listSupplies(sysRoot_, filesForQuestion())));
    if (batteries.empty()) return nullptr;
    return std::make_shared<SysfsBatteryEntry>(std::move(batteries), readingFiles_ != nullptr);
}

std::optional<bool> SysfsPowerSources::isOnBatteryPower() const {
    std::error_code error;
    if (!std::filesystem::is_directory(sysRoot_ + "/class/power_supply", error)) {
        return std::nullopt;
    }
    const auto supplies = listSupplies(sysRoot_, filesForQuestion());
    return runsOnBattery(supplies, Batteries(systemBatteries(supplies)));
}

std::optional<PowerSourceDictionary> SysfsPowerSources::externalPowerAdapterDetails() const {
    for (const auto& supply : listSupplies(sysRoot_, filesForQuestion())) {
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

std::shared_ptr<const PowerSources> SysfsPowerSources::reading() const {
    return std::shared_ptr<const PowerSources>(
        new SysfsPowerSources(sysRoot_, std::make_shared<ReadFiles>()));
}

std::shared_ptr<SysfsPowerSources::ReadFiles> SysfsPowerSources::filesForQuestion() const {
    return readingFiles_ ? readingFiles_ : std::make_shared<ReadFiles>();
}

std::shared_ptr<const PowerSources> platformPowerSources() {
    return std::make_shared<SysfsPowerSources>();
}

}  // namespace joulix
