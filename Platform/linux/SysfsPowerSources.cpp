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

    // A printable text attribute: control bytes are dropped (a name may come from the device's
    // own firmware); absent when nothing is left.
    std::optional<std::string> printable(const char* attribute) const {
        auto value = text(attribute);
        if (!value) return std::nullopt;
        std::erase_if(*value, [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7f;
        });
        if (value->empty()) return std::nullopt;
        return value;
    }

    // A supply that can power the machine from outside: any supply of the machine's own (not a
    // peripheral's, scope "Device") other than a battery that says whether it is online.
    bool isAdapter() const {
        const auto type = text("type");
        return type && type != "Battery" && text("scope") != "Device" && integer("online");
    }
    bool isSystemBattery() const {
        return text("type") == "Battery" && integer("present").value_or(1) != 0 &&
               text("scope") != "Device";
    }
    // Online: 1 (fixed) or 2 (programmable, as USB power delivery sources show it).
    bool isOnline() const { return integer("online").value_or(0) > 0; }
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

std::optional<double> real(const std::optional<int64_t>& value) {
    return value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt;
}

// A level as a numerator over a denominator, kept apart so that the reader divides once.
struct LevelRatio {
    double now = 0;
    double full = 0;
};

// One battery's figures, all from one family of attributes: energy (µWh) when energy_now and
// energy_full are both there, else charge (µAh) converted through the design voltage, so that a
// stray energy_now beside complete charge attributes never mixes units.
class BatteryFigures {
  public:
    explicit BatteryFigures(const Supply& battery) : battery_(battery) {
        const bool hasCharge = battery.integer("charge_now") || battery.integer("charge_full");
        usesEnergy_ =
            (battery.integer("energy_now") && battery.integer("energy_full")) || !hasCharge;
    }

    // The design voltage (µV): voltage_min_design, else voltage_max_design, else voltage_now.
    std::optional<double> designVoltageUV() const {
        for (const char* name : {"voltage_min_design", "voltage_max_design", "voltage_now"}) {
            if (const auto microvolts = battery_.integer(name); microvolts && *microvolts > 0)
                return static_cast<double>(*microvolts);
        }
        return std::nullopt;
    }

    // Energy in µWh of "now", "full" or "full_design".
    std::optional<double> energyUWh(const std::string& which) const {
        if (usesEnergy_) return real(battery_.integer(("energy_" + which).c_str()));
        const auto charge = real(battery_.integer(("charge_" + which).c_str()));
        const auto voltage = designVoltageUV();
        if (!charge || !voltage) return std::nullopt;
        return *charge * *voltage / 1e6;
    }
    // Charge in mAh of "now", "full" or "full_design".
    std::optional<double> chargeMah(const std::string& which) const {
        if (!usesEnergy_) {
            const auto charge = real(battery_.integer(("charge_" + which).c_str()));
            return charge ? std::optional<double>(*charge / 1000.0) : std::nullopt;
        }
        const auto energy = real(battery_.integer(("energy_" + which).c_str()));
        const auto voltage = designVoltageUV();
        if (!energy || !voltage) return std::nullopt;
        return *energy * 1000.0 / *voltage;
    }
    // "now" over "full" in the battery's own family.
    std::optional<LevelRatio> familyRatio() const {
        const char* now = usesEnergy_ ? "energy_now" : "charge_now";
        const char* full = usesEnergy_ ? "energy_full" : "charge_full";
        const auto nowValue = real(battery_.integer(now));
        const auto fullValue = real(battery_.integer(full));
        if (!nowValue || !fullValue || *nowValue < 0 || *fullValue <= 0) return std::nullopt;
        return LevelRatio{*nowValue, *fullValue};
    }
    // The battery's own level: the kernel's capacity, else now over full.
    std::optional<LevelRatio> ownLevel() const {
        if (const auto percent = battery_.integer("capacity"); percent && *percent >= 0)
            return LevelRatio{static_cast<double>(*percent), 100};
        return familyRatio();
    }

    // Signed power in µW, negative while discharging: power_now as the kernel gives it, else
    // current_now × voltage_now.
    std::optional<double> powerUW() const {
        auto power = real(battery_.integer("power_now"));
        if (!power) {
            const auto current = real(battery_.integer("current_now"));
            const auto voltage = real(battery_.integer("voltage_now"));
            if (current && voltage && *voltage > 0) power = *current * *voltage / 1e6;
        }
        return power ? std::optional<double>(signedFlow(*power)) : std::nullopt;
    }
    // Signed current in µA: current_now, else power_now / voltage_now.
    std::optional<double> currentUA() const {
        auto current = real(battery_.integer("current_now"));
        if (!current) {
            const auto power = real(battery_.integer("power_now"));
            const auto voltage = real(battery_.integer("voltage_now"));
            if (power && voltage && *voltage > 0) current = *power * 1e6 / *voltage;
        }
        return current ? std::optional<double>(signedFlow(*current)) : std::nullopt;
    }

    bool usesEnergy() const { return usesEnergy_; }

  private:
    // The kernel's sign when it gives a negative flow, else the status "Discharging".
    double signedFlow(double flow) const {
        return flow < 0 || battery_.hasStatus("Discharging") ? -std::fabs(flow) : std::fabs(flow);
    }

    const Supply& battery_;
    bool usesEnergy_ = true;
};

// Minutes for `amount` (µAh or µWh) at `flow` (µA or µW); -1 without flow.
int64_t minutesAtFlow(double amount, double flow) {
    if (flow == 0) return -1;
    const double hours = std::max(amount, 0.0) / std::fabs(flow);
    return wholeNumber(std::round(hours * 60.0)).value_or(-1);
}

// The system batteries seen as one: energy, charge, power and current summed, the voltage their
// mean, the level by the rule of describeLevel. Descriptive attributes come from the first.
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
            const std::optional<double> value = read(BatteryFigures(battery));
            if (!value) return std::nullopt;
            total += *value;
        }
        return total;
    }
    std::optional<double> mah(const std::string& which) const {
        return sum([&](const BatteryFigures& b) { return b.chargeMah(which); });
    }
    std::optional<double> energyUWh(const std::string& which) const {
        return sum([&](const BatteryFigures& b) { return b.energyUWh(which); });
    }
    std::optional<double> attribute(const char* name) const {
        double total = 0;
        for (const auto& battery : batteries_) {
            const auto value = real(battery.integer(name));
            if (!value) return std::nullopt;
            total += *value;
        }
        return total;
    }
    std::optional<double> powerUW() const {
        return sum([](const BatteryFigures& b) { return b.powerUW(); });
    }
    std::optional<double> currentUA() const {
        return sum([](const BatteryFigures& b) { return b.currentUA(); });
    }
    std::optional<double> voltageUV() const {
        const auto total = attribute("voltage_now");
        if (!total) return std::nullopt;
        return *total / static_cast<double>(batteries_.size());
    }

    bool isDischarging() const {
        if (const auto current = currentUA(); current && *current != 0) return *current < 0;
        if (const auto power = powerUW(); power && *power != 0) return *power < 0;
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

    // The level as "Current Capacity" over "Max Capacity". One battery: its own level (the
    // kernel's capacity, else now over full). Several: Σ energy_now over Σ energy_full when every
    // one reports energy, Σ charge_now over Σ charge_full when every one reports charge, else the
    // mean of their own levels weighted by their full energy when every one's is known (equally
    // otherwise). Left out when a battery's level cannot be derived.
    void describeLevel(PowerSourceDictionary& description) const {
        const auto level = levelRatio();
        if (!level) return;
        const auto now = wholeNumber(level->now);
        const auto full = wholeNumber(level->full);
        if (!now || !full || *full <= 0) return;
        description["Current Capacity"] = *now;
        description["Max Capacity"] = *full;
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
    std::optional<LevelRatio> levelRatio() const {
        if (batteries_.size() == 1) return BatteryFigures(first()).ownLevel();
        const auto familyWide = [&](bool energy) -> std::optional<LevelRatio> {
            LevelRatio total;
            for (const auto& battery : batteries_) {
                const BatteryFigures figures(battery);
                const auto ratio = figures.familyRatio();
                if (figures.usesEnergy() != energy || !ratio) return std::nullopt;
                total.now += ratio->now;
                total.full += ratio->full;
            }
            return total;
        };
        if (const auto energy = familyWide(true)) return energy;
        if (const auto charge = familyWide(false)) return charge;

        const bool weighed = std::all_of(batteries_.begin(), batteries_.end(), [](const auto& b) {
            return BatteryFigures(b).energyUWh("full").value_or(0) > 0;
        });
        double weightedPercent = 0;
        double weightSum = 0;
        for (const auto& battery : batteries_) {
            const BatteryFigures figures(battery);
            const auto own = figures.ownLevel();
            if (!own) return std::nullopt;
            const double weight = weighed ? *figures.energyUWh("full") : 1.0;
            weightedPercent += weight * std::clamp(own->now / own->full * 100.0, 0.0, 100.0);
            weightSum += weight;
        }
        if (!(weightSum > 0)) return std::nullopt;
        // Millionths of a percent over 100 %, in whole numbers.
        return LevelRatio{std::round(weightedPercent / weightSum * 1e6), 100e6};
    }

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
            return wrap(wholeOf(batteries.mah("now")));
        }
        if (key == "AppleRawMaxCapacity" || key == "MaxCapacity" ||
            key == "NominalChargeCapacity") {
            return wrap(wholeOf(batteries.mah("full")));
        }
        if (key == "DesignCapacity") {
            return wrap(wholeOf(batteries.mah("full_design")));
        }
        if (key == "RemainingEnergyMicroWh") {
            return wrap(wholeOf(batteries.energyUWh("now")));
        }
        if (key == "PowerMicroW") return wrap(wholeOf(batteries.powerUW()));
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
        if (key == "CycleCount") {
            // Drivers without a count report 0 or -1.
            const auto cycles = first.integer("cycle_count");
            return wrap(cycles && *cycles > 0 ? cycles : std::nullopt);
        }
        if (key == "Temperature") {
            const auto deciC = first.integer("temp");
            return wrap(deciC ? wholeNumber(static_cast<double>(*deciC) * 10.0) : std::nullopt);
        }
        if (key == "Serial" || key == "BatterySerialNumber") {
            return wrap(first.printable("serial_number"));
        }
        if (key == "DeviceName") return wrap(first.printable("model_name"));
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
        const auto model = supply.printable("model_name");
        details["Name"] = model ? *model : supply.directoryName();
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
