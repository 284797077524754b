#include "MetricsCollectors/DirectBatteryStatusReader.h"

#include "Platform/linux/SysfsPowerSources.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

std::optional<BatteryStatusSample> sampleOfTree(const std::string& name) {
    DirectBatteryStatusReader reader(std::make_shared<SysfsPowerSources>(
        std::string(JOULIX_FIXTURES) + "/power_supply/" + name));
    return reader.sample();
}

TEST(DirectBatteryStatusReader, DischargingLaptop) {
    const auto sample = sampleOfTree("discharging-laptop");
    ASSERT_TRUE(sample);
    BatteryStatusSample expected;
    expected.levelPercent = 64;
    expected.remainingWh = 3200 * 11400 / 1e6;
    expected.isCharging = false;
    expected.externalPowerConnected = false;
    expected.systemTimeRemainingMinutes = 128;  // 3.2 Ah at 1.5 A
    expected.dischargeWatts = 1500 * 11400 / 1e6;
    expected.cycleCount = 210;
    expected.voltageMV = 11400;
    expected.amperageMa = -1500;
    expected.temperatureCentiC = 3120;
    expected.designCapacityMah = 5200;
    expected.maxCapacityMah = 5000;
    expected.currentCapacityMah = 3200;
    expected.nominalChargeCapacityMah = 5000;
    expected.serialNumber = "12345";
    expected.deviceName = "5B10W13930";
    expected.fullyCharged = false;
    expected.isACPowered = false;
    EXPECT_EQ(*sample, expected);  // the mouse battery listed first is not the system's
}

TEST(DirectBatteryStatusReader, ChargingLaptopWithEnergyCountersAndAUSBCAdapter) {
    const auto sample = sampleOfTree("charging-laptop");
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->levelPercent, 80);
    EXPECT_TRUE(sample->isCharging);
    EXPECT_TRUE(sample->externalPowerConnected);
    EXPECT_EQ(sample->isACPowered, true);
    // µWh through the 11.4 V design voltage.
    EXPECT_EQ(sample->currentCapacityMah, 3508);
    EXPECT_EQ(sample->maxCapacityMah, 4385);
    EXPECT_EQ(sample->designCapacityMah, 5000);
    EXPECT_EQ(sample->voltageMV, 12600);
    EXPECT_EQ(sample->amperageMa, 2000);  // 25.2 W at 12.6 V, flowing in
    EXPECT_EQ(sample->dischargeWatts, std::nullopt);
    EXPECT_EQ(sample->systemTimeRemainingMinutes, 24);  // 10 Wh to go at 25.2 W
    EXPECT_EQ(sample->adapterWatts, 65);
    EXPECT_EQ(sample->adapterName, "ucsi-source-psy-USBC000:001");
    EXPECT_EQ(sample->deviceName, "DELL-7FHHV");
    EXPECT_EQ(sample->serialNumber, std::nullopt);
}

TEST(DirectBatteryStatusReader, DesktopOnMainsHasNoPowerSource) {
    EXPECT_EQ(sampleOfTree("desktop-mains"), std::nullopt);
    EXPECT_EQ(sampleOfTree("no-such-tree"), std::nullopt);
}

// Power sources with fixed contents, for the level and time rules.
class FixedPowerSources final : public PowerSources {
  public:
    PowerSourceDictionary description;
    PowerSourceDictionary registry;

    std::optional<std::vector<PowerSourceDictionary>> powerSourceDescriptions() const override {
        return std::vector<PowerSourceDictionary>{description};
    }
    std::shared_ptr<const BatteryRegistryEntry> matchBatteryEntry() const override {
        struct Entry final : BatteryRegistryEntry {
            const PowerSourceDictionary* values;
            std::optional<PowerSourceValue> property(std::string_view key) const override {
                const auto found = values->find(key);
                if (found == values->end()) return std::nullopt;
                return found->second;
            }
        };
        auto entry = std::make_shared<Entry>();
        entry->values = &registry;
        return entry;
    }
    std::optional<PowerSourceDictionary> externalPowerAdapterDetails() const override {
        return std::nullopt;
    }
};

TEST(DirectBatteryStatusReader, LevelAndTimeRules) {
    struct Case {
        const char* name;
        PowerSourceDictionary description;
        PowerSourceDictionary registry;
        double level;
        std::optional<int64_t> minutes;
    };
    using D = PowerSourceDictionary;
    const Case cases[] = {
        {"charged wins", D{{"Is Charged", true}, {"Current Capacity", int64_t{40}}}, D{}, 100,
         std::nullopt},
        {"percent of max", D{{"Current Capacity", int64_t{30}}, {"Max Capacity", int64_t{60}}}, D{},
         50, std::nullopt},
        {"plain percent", D{{"Current Capacity", int64_t{42}}}, D{}, 42, std::nullopt},
        {"150 % falls through to the registry", D{{"Current Capacity", int64_t{150}}},
         D{{"AppleRawCurrentCapacity", int64_t{1000}}, {"AppleRawMaxCapacity", int64_t{4000}}}, 25,
         std::nullopt},
        {"no raw current", D{}, D{{"MaxCapacity", int64_t{4000}}}, 0, std::nullopt},
        {"raw fallbacks", D{}, D{{"CurrentCapacity", int64_t{900}}, {"MaxCapacity", int64_t{0}}}, 0,
         std::nullopt},
        {"raw percent", D{}, D{{"CurrentCapacity", int64_t{77}}}, 77, std::nullopt},
        {"time to empty -1 hides time to full",
         D{{"Time to Empty", int64_t{-1}}, {"Time to Full Charge", int64_t{50}}}, D{}, 0,
         std::nullopt},
        {"time to full when empty is not an integer",
         D{{"Time to Empty", std::string("soon")}, {"Time to Full Charge", int64_t{50}}}, D{}, 0,
         50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto sources = std::make_shared<FixedPowerSources>();
        sources->description = c.description;
        sources->registry = c.registry;
        DirectBatteryStatusReader reader(sources);
        const auto sample = reader.sample();
        ASSERT_TRUE(sample);
        EXPECT_DOUBLE_EQ(sample->levelPercent, c.level);
        EXPECT_EQ(sample->systemTimeRemainingMinutes, c.minutes);
        EXPECT_TRUE(sample->externalPowerConnected);  // no state: "AC Power"
    }
}

TEST(DirectBatteryStatusReader, RegistryBooleansIgnoreText) {
    auto sources = std::make_shared<FixedPowerSources>();
    sources->description = {{"Power Source State", std::string("Battery Power")}};
    sources->registry = {{"IsCharging", std::string("YES")},
                         {"Voltage", int64_t{12000}},
                         {"Amperage", std::string("-500")},
                         {"Serial", std::string("")}};
    DirectBatteryStatusReader reader(sources);
    const auto sample = reader.sample();
    ASSERT_TRUE(sample);
    EXPECT_FALSE(sample->isCharging);
    EXPECT_FALSE(sample->externalPowerConnected);
    EXPECT_DOUBLE_EQ(*sample->dischargeWatts, 6.0);
    EXPECT_EQ(sample->serialNumber, "");  // an empty text is kept by this reader
}

}  // namespace
}  // namespace joulix
