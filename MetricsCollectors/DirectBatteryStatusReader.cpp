#include "MetricsCollectors/DirectBatteryStatusReader.h"

#include "MetricsCollectors/PropertyValueReaders.h"

#include <algorithm>

namespace joulix {

namespace {

const PowerSourceValue* find(const PowerSourceDictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

std::optional<int64_t> integerIn(const PowerSourceDictionary& dictionary, std::string_view key) {
    const auto* value = find(dictionary, key);
    return value ? property::integerValue(*value) : std::nullopt;
}

std::optional<bool> booleanIn(const PowerSourceDictionary& dictionary, std::string_view key) {
    const auto* value = find(dictionary, key);
    return value ? property::booleanValue(*value, property::TextBooleans::ignored) : std::nullopt;
}

std::optional<std::string> textIn(const PowerSourceDictionary& dictionary, std::string_view key) {
    const auto* value = find(dictionary, key);
    return value ? property::textValue(*value, property::EmptyText::accepted) : std::nullopt;
}

// The registry readers: a missing entry or property is absent.
class Registry {
  public:
    explicit Registry(const BatteryRegistryEntry* entry) : entry_(entry) {}

    std::optional<int64_t> integer(std::string_view key, std::string_view fallback = {}) const {
        auto value = read(key, [](const auto& v) { return property::integerValue(v); });
        if (!value && !fallback.empty()) {
            value = read(fallback, [](const auto& v) { return property::integerValue(v); });
        }
        return value;
    }
    std::optional<bool> boolean(std::string_view key) const {
        return read(key, [](const auto& v) {
            return property::booleanValue(v, property::TextBooleans::ignored);
        });
    }
    std::optional<std::string> text(std::string_view key, std::string_view fallback) const {
        const auto reader = [](const auto& v) {
            return property::textValue(v, property::EmptyText::accepted);
        };
        auto value = read(key, reader);
        if (!value && !fallback.empty()) value = read(fallback, reader);
        return value;
    }

  private:
    template <typename Reader>
    auto read(std::string_view key, Reader reader) const
        -> decltype(reader(std::declval<PowerSourceValue>())) {
        if (!entry_) return std::nullopt;
        const auto value = entry_->property(key);
        if (!value) return std::nullopt;
        return reader(*value);
    }

    const BatteryRegistryEntry* entry_;
};

double percent(double part, double whole) {
    return std::clamp(part / whole * 100.0, 0.0, 100.0);
}

}  // namespace

DirectBatteryStatusReader::DirectBatteryStatusReader(
    std::shared_ptr<const PowerSources> powerSources)
    : powerSources_(std::move(powerSources)),
      service_(powerSources_ ? powerSources_->matchBatteryEntry() : nullptr) {}

std::optional<bool> DirectBatteryStatusReader::isOnBatteryPower() {
    std::lock_guard guard(lock_);
    return powerSources_ ? powerSources_->isOnBatteryPower() : std::nullopt;
}

std::optional<BatteryStatusSample> DirectBatteryStatusReader::sample() {
    return sampleWithPowerSource().sample;
}

// One reading of the power sources answers the whole sample, where the platform has one.
DirectBatteryStatusReader::SampleAndPowerSource DirectBatteryStatusReader::sampleWithPowerSource() {
    std::lock_guard guard(lock_);
    if (!powerSources_) return {};
    const auto reading = powerSources_->reading();
    if (!reading) {
        return {sampleOf(*powerSources_, service_.get()), powerSources_->isOnBatteryPower()};
    }
    return {sampleOf(*reading, reading->matchBatteryEntry().get()), reading->isOnBatteryPower()};
}

std::optional<BatteryStatusSample>
DirectBatteryStatusReader::sampleOf(const PowerSources& sources,
                                    const BatteryRegistryEntry* service) const {
    const auto descriptions = sources.powerSourceDescriptions();
    if (!descriptions || descriptions->empty()) return std::nullopt;
    const PowerSourceDictionary& description = descriptions->front();

    const bool isCharged = booleanIn(description, "Is Charged").value_or(false);
    const std::string state = textIn(description, "Power Source State").value_or("AC Power");
    const auto currentPercent = integerIn(description, "Current Capacity");
    const auto maxPercent = integerIn(description, "Max Capacity");
    auto minutes = integerIn(description, "Time to Empty");
    if (!minutes) minutes = integerIn(description, "Time to Full Charge");

    const Registry registry(service);
    const auto rawCurrent = registry.integer("AppleRawCurrentCapacity", "CurrentCapacity");
    const auto rawMax = registry.integer("AppleRawMaxCapacity", "MaxCapacity");
    const auto voltage = registry.integer("Voltage");
    const auto amperage = registry.integer("Amperage", "InstantAmperage");
    const bool isCharging = registry.boolean("IsCharging").value_or(false);

    BatteryStatusSample sample;
    sample.cycleCount = registry.integer("CycleCount");
    sample.temperatureCentiC = registry.integer("Temperature");
    sample.designCapacityMah = registry.integer("DesignCapacity");
    sample.nominalChargeCapacityMah = registry.integer("NominalChargeCapacity");
    sample.designCycleCount = registry.integer("DesignCycleCount9C");
    sample.serialNumber = registry.text("Serial", "BatterySerialNumber");
    sample.deviceName = registry.text("DeviceName", {});
    if (const auto adapter = sources.externalPowerAdapterDetails()) {
        sample.adapterWatts = integerIn(*adapter, "Watts");
        sample.adapterName = textIn(*adapter, "Name");
    }

    const bool externalPowerConnected = state != "Battery Power";
    sample.externalPowerConnected = externalPowerConnected;
    sample.isACPowered = externalPowerConnected;
    sample.fullyCharged = isCharged;
    sample.isCharging = isCharging;

    if (isCharged) {
        sample.levelPercent = 100;
    } else if (currentPercent && maxPercent && *currentPercent >= 0 && *maxPercent > 0) {
        sample.levelPercent =
            percent(static_cast<double>(*currentPercent), static_cast<double>(*maxPercent));
    } else if (currentPercent && *currentPercent >= 0 && *currentPercent <= 100) {
        sample.levelPercent = static_cast<double>(*currentPercent);
    } else if (rawCurrent && rawMax && *rawMax >= 1) {
        sample.levelPercent =
            percent(static_cast<double>(*rawCurrent), static_cast<double>(*rawMax));
    } else if (rawCurrent && *rawCurrent >= 0 && *rawCurrent <= 100) {
        sample.levelPercent = static_cast<double>(*rawCurrent);
    }
    // Otherwise nothing the battery reports gives its level, which stays absent.

    if (const auto energy = registry.integer("RemainingEnergyMicroWh"); energy && *energy >= 1) {
        sample.remainingWh = static_cast<double>(*energy) / 1'000'000.0;
    } else if (voltage && rawCurrent && *rawCurrent >= 1) {
        sample.remainingWh =
            static_cast<double>(*rawCurrent) * static_cast<double>(*voltage) / 1'000'000.0;
    }
    // A platform that measures the battery's power itself gives it in µW, negative while
    // discharging: taken as it is rather than through whole milliamps and back.
    if (const auto power = registry.integer("PowerMicroW")) {
        if (!isCharging && *power < 0) {
            sample.dischargeWatts = -static_cast<double>(*power) / 1'000'000.0;
        }
    } else if (!isCharging && amperage && *amperage < 0 && voltage) {
        sample.dischargeWatts =
            -static_cast<double>(*amperage) * static_cast<double>(*voltage) / 1'000'000.0;
    }
    sample.systemTimeRemainingMinutes = property::timeRemainingMinutes(minutes);
    sample.voltageMV = voltage;
    sample.amperageMa = amperage;
    sample.currentCapacityMah = rawCurrent;
    sample.maxCapacityMah = rawMax;
    return sample;
}

}  // namespace joulix
