#include "MetricsCollectors/DirectBatteryStatusReader.h"

#include "Platform/linux/SysfsPowerSources.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tuple>

namespace joulix {
namespace {

// The fixture trees of three machines: each sample whole, or none.
TEST(DirectBatteryStatusReader, FixtureMachines) {
    // clang-format off
    const std::pair<const char*, std::optional<BatteryStatusSample>> cases[] = {
        // 3.2 Ah at 1.5 A is 128 minutes; the mouse battery listed first is not the system's.
        // The energy left is the charge at the design voltage.
        {"discharging-laptop", BatteryStatusSample{
            .levelPercent = 64, .remainingWh = 3200 * 11100 / 1e6, .isCharging = false,
            .externalPowerConnected = false, .systemTimeRemainingMinutes = 128,
            .dischargeWatts = 1500 * 11400 / 1e6, .cycleCount = 210, .voltageMV = 11400,
            .amperageMa = -1500, .temperatureCentiC = 3120, .designCapacityMah = 5200,
            .maxCapacityMah = 5000, .currentCapacityMah = 3200, .nominalChargeCapacityMah = 5000,
            .serialNumber = "12345", .deviceName = "5B10W13930", .fullyCharged = false,
            .isACPowered = false}},
        // Energy counters in µWh through the 11.4 V design voltage; 25.2 W at 12.6 V flows in,
        // so 10 Wh to go take 24 minutes; the energy left is energy_now as the kernel counts it.
        {"charging-laptop", BatteryStatusSample{
            .levelPercent = 80, .remainingWh = 40.0, .isCharging = true,
            .externalPowerConnected = true, .systemTimeRemainingMinutes = 24, .cycleCount = 48,
            .voltageMV = 12600, .amperageMa = 2000, .designCapacityMah = 5000,
            .maxCapacityMah = 4385, .currentCapacityMah = 3508, .nominalChargeCapacityMah = 4385,
            .deviceName = "DELL-7FHHV", .fullyCharged = false, .isACPowered = true,
            .adapterWatts = 65, .adapterName = "ucsi-source-psy-USBC000:001"}},
        {"desktop-mains", std::nullopt},
        {"no-such-tree", std::nullopt},
    };
    // clang-format on
    for (const auto& [tree, expected] : cases) {
        DirectBatteryStatusReader reader(std::make_shared<SysfsPowerSources>(
            std::string(JOULIX_FIXTURES) + "/power_supply/" + tree));
        EXPECT_EQ(reader.sample(), expected) << tree;
    }
}

// One power source description and a battery registry entry with fixed contents.
struct FixedPowerSources final : PowerSources, BatteryRegistryEntry {
    PowerSourceDictionary description, registry;
    std::optional<std::vector<PowerSourceDictionary>> powerSourceDescriptions() const override {
        return std::vector<PowerSourceDictionary>{description};
    }
    std::shared_ptr<const BatteryRegistryEntry> matchBatteryEntry() const override {
        return {std::shared_ptr<void>(), this};  // not owned
    }
    std::optional<PowerSourceValue> property(std::string_view key) const override {
        return testing::lookup(registry, key);
    }
    std::optional<PowerSourceDictionary> externalPowerAdapterDetails() const override {
        return std::nullopt;
    }
};

BatteryStatusSample sampleOf(const PowerSourceDictionary& description,
                             const PowerSourceDictionary& registry) {
    auto sources = std::make_shared<FixedPowerSources>();
    sources->description = description;
    sources->registry = registry;
    return DirectBatteryStatusReader(sources).sample().value();
}

TEST(DirectBatteryStatusReader, LevelAndTimeRules) {
    using D = PowerSourceDictionary;
    // case, description, registry entry, level (absent when nothing gives it), minutes remaining
    // clang-format off
    const std::tuple<const char*, D, D, std::optional<double>, std::optional<int64_t>> cases[] = {
        {"charged wins", D{{"Is Charged", true}, {"Current Capacity", int64_t{40}}}, D{}, 100, {}},
        {"percent of max", D{{"Current Capacity", int64_t{30}}, {"Max Capacity", int64_t{60}}},
         D{}, 50, {}},
        {"plain percent", D{{"Current Capacity", int64_t{42}}}, D{}, 42, {}},
        {"150 % falls through to the registry", D{{"Current Capacity", int64_t{150}}},
         D{{"AppleRawCurrentCapacity", int64_t{1000}}, {"AppleRawMaxCapacity", int64_t{4000}}},
         25, {}},
        {"no raw current", D{}, D{{"MaxCapacity", int64_t{4000}}}, {}, {}},
        {"raw charge without a usable maximum",
         D{}, D{{"CurrentCapacity", int64_t{900}}, {"MaxCapacity", int64_t{0}}}, {}, {}},
        {"raw percent", D{}, D{{"CurrentCapacity", int64_t{77}}}, 77, {}},
        {"time to empty -1 hides time to full",
         D{{"Time to Empty", int64_t{-1}}, {"Time to Full Charge", int64_t{50}}}, D{}, {}, {}},
        {"time to full when empty is not an integer",
         D{{"Time to Empty", std::string("soon")}, {"Time to Full Charge", int64_t{50}}}, D{},
         {}, 50},
    };
    // clang-format on
    for (const auto& [name, description, registry, level, minutes] : cases) {
        SCOPED_TRACE(name);
        const auto sample = sampleOf(description, registry);
        EXPECT_EQ(sample.levelPercent, level);
        EXPECT_EQ(sample.systemTimeRemainingMinutes, minutes);
        EXPECT_TRUE(sample.externalPowerConnected);  // no state: "AC Power"
    }
}

TEST(DirectBatteryStatusReader, RegistryBooleansIgnoreText) {
    const auto sample = sampleOf({{"Power Source State", std::string("Battery Power")}},
                                 {{"IsCharging", std::string("YES")},
                                  {"Voltage", int64_t{12000}},
                                  {"Amperage", std::string("-500")},
                                  {"Serial", std::string("")}});
    EXPECT_FALSE(sample.isCharging);
    EXPECT_FALSE(sample.externalPowerConnected);
    EXPECT_DOUBLE_EQ(*sample.dischargeWatts, 6.0);
    EXPECT_EQ(sample.serialNumber, "");  // an empty text is kept by this reader
}

}  // namespace
}  // namespace joulix
