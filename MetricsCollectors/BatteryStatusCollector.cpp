#include "MetricsCollectors/BatteryStatusCollector.h"

#include "MetricsCollectors/PropertyValueReaders.h"
#include "Platform/PropertyList.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <limits>
#include <plist/plist.h>

namespace joulix {

namespace {

constexpr std::string_view logComponent = "BatteryStatus";
constexpr const char* unusableRootMessage = "Unable to parse AppleSmartBattery plist output.";

// The battery dictionary and the readers of the collector.
class BatteryDictionary {
  public:
    explicit BatteryDictionary(plist_t dictionary) : dictionary_(dictionary) {}

    std::optional<PowerSourceValue> value(const char* key) const {
        const plist_t node = plist_dict_get_item(dictionary_, key);
        if (!node) return std::nullopt;
        return propertyListValue(node);
    }
    std::optional<int64_t> integer(const char* key) const {
        const auto found = value(key);
        return found ? property::integerValue(*found) : std::nullopt;
    }
    std::optional<bool> boolean(const char* key) const {
        const auto found = value(key);
        return found ? property::booleanValue(*found, property::TextBooleans::interpreted)
                     : std::nullopt;
    }
    std::optional<std::string> text(const char* key) const {
        const auto found = value(key);
        return found ? property::textValue(*found, property::EmptyText::absent) : std::nullopt;
    }
    std::optional<BatteryDictionary> dictionary(const char* key) const {
        const plist_t node = plist_dict_get_item(dictionary_, key);
        if (!node || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
        return BatteryDictionary(node);
    }

  private:
    plist_t dictionary_;
};

std::string optionalTwoDecimals(const std::optional<double>& value) {
    return value ? text::formatted("%.2f", *value) : "nil";
}

std::string optionalInteger(const std::optional<int64_t>& value) {
    return value ? std::to_string(*value) : "nil";
}

}  // namespace

BatteryStatusCollector::BatteryStatusCollector(std::shared_ptr<const ShellRunning> shell_)
    : shell(std::move(shell_)) {}

BatteryStatusSample BatteryStatusCollector::collectStatus() const {
    RuntimeLog::info(logComponent, "Collecting battery status from ioreg.");
    const ShellResult result =
        shell->run("/usr/sbin/ioreg", {"-r", "-n", "AppleSmartBattery", "-a"});
    if (result.status != 0) throw ShellRunnerError::nonZeroExit(result);
    return sampleFromPropertyList(result.stdout);
}

BatteryStatusSample BatteryStatusCollector::sampleFromPropertyList(std::string_view output) {
    if (output.size() > std::numeric_limits<uint32_t>::max()) {
        throw ShellRunnerError::failedToLaunch(unusableRootMessage);
    }
    const auto root = parsePropertyList(output);
    if (!root) throw PropertyListError();
    if (plist_get_node_type(root.get()) != PLIST_ARRAY) {
        throw ShellRunnerError::failedToLaunch(unusableRootMessage);
    }
    const uint32_t count = plist_array_get_size(root.get());
    for (uint32_t i = 0; i < count; ++i) {
        if (plist_get_node_type(plist_array_get_item(root.get(), i)) != PLIST_DICT) {
            throw ShellRunnerError::failedToLaunch(unusableRootMessage);
        }
    }
    if (count == 0) throw ShellRunnerError::failedToLaunch(unusableRootMessage);
    const BatteryDictionary battery(plist_array_get_item(root.get(), 0));

    const int64_t currentCapacity = battery.integer("CurrentCapacity").value_or(0);
    const auto maxCapacity = battery.integer("MaxCapacity");
    const auto voltage = battery.integer("Voltage");
    const bool isCharging = battery.boolean("IsCharging").value_or(false);
    auto external = battery.boolean("ExternalConnected");
    if (!external) external = battery.boolean("ExternalChargeCapable");
    const bool externalPowerConnected = external.value_or(false);
    auto amperage = battery.integer("Amperage");
    if (!amperage) amperage = battery.integer("InstantAmperage");
    auto serial = battery.text("Serial");
    if (!serial) serial = battery.text("BatterySerialNumber");
    const auto adapter = battery.dictionary("AdapterDetails");

    BatteryStatusSample sample;
    sample.cycleCount = battery.integer("CycleCount");
    sample.temperatureCentiC = battery.integer("Temperature");
    sample.designCapacityMah = battery.integer("DesignCapacity");
    sample.nominalChargeCapacityMah = battery.integer("NominalChargeCapacity");
    sample.designCycleCount = battery.integer("DesignCycleCount9C");
    sample.serialNumber = serial;
    sample.deviceName = battery.text("DeviceName");
    sample.fullyCharged = battery.boolean("FullyCharged");
    sample.currentCapacityMah = battery.integer("AppleRawCurrentCapacity");
    sample.maxCapacityMah = battery.integer("AppleRawMaxCapacity");
    if (adapter) {
        sample.adapterWatts = adapter->integer("Watts");
        sample.adapterName = adapter->text("Name");
    }

    const auto firstTime = [&](std::initializer_list<const char*> keys) {
        for (const char* key : keys) {
            if (const auto minutes = battery.integer(key)) return minutes;
        }
        return std::optional<int64_t>();
    };
    const auto minutes =
        isCharging ? firstTime({"AvgTimeToFull", "TimeToFull", "AvgTimeToEmpty", "TimeRemaining"})
                   : firstTime({"AvgTimeToEmpty", "TimeRemaining"});

    const double divisor = maxCapacity && *maxCapacity > 1 ? static_cast<double>(*maxCapacity) : 1;
    const double levelPercent =
        std::clamp(static_cast<double>(currentCapacity) / divisor * 100.0, 0.0, 100.0);
    sample.levelPercent = levelPercent;
    if (voltage) {
        const auto volts = static_cast<double>(*voltage);
        // On Apple silicon CurrentCapacity is a percentage; the charge in mAh is the raw value.
        const int64_t chargeMah = sample.currentCapacityMah.value_or(currentCapacity);
        if (chargeMah >= 1 && *voltage >= 1) {
            sample.remainingWh = static_cast<double>(chargeMah) * volts / 1'000'000.0;
        }
        if (!isCharging && amperage && *amperage < 0) {
            sample.dischargeWatts = -static_cast<double>(*amperage) * volts / 1'000'000.0;
        }
    }
    sample.systemTimeRemainingMinutes = property::timeRemainingMinutes(minutes);
    sample.isCharging = isCharging;
    sample.externalPowerConnected = externalPowerConnected;
    sample.isACPowered = externalPowerConnected;
    sample.voltageMV = voltage;
    sample.amperageMa = amperage;

    RuntimeLog::info(logComponent,
                     "Battery status: level=" + text::formatted("%.2f", levelPercent) +
                         "%, remainingWh=" + optionalTwoDecimals(sample.remainingWh) +
                         ", charging=" + (isCharging ? "true" : "false") +
                         ", external=" + (externalPowerConnected ? "true" : "false") +
                         ", dischargeWatts=" + optionalTwoDecimals(sample.dischargeWatts) +
                         ", systemMinutes=" + optionalInteger(sample.systemTimeRemainingMinutes) +
                         ", cycleCount=" + optionalInteger(sample.cycleCount));
    return sample;
}

}  // namespace joulix
