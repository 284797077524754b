#include "MetricsCollectors/DirectBatteryStatusReader.h"
#include "Platform/linux/SysfsPowerSources.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>

namespace joulix {
namespace {

using Attributes = std::map<std::string, std::string>;

// How a tree shows each supply's properties: a file each; all in the uevent (as the kernel does
// since it lists the type there); or in a uevent without the type, which has its own file.
enum class Layout { files, uevent, ueventWithoutType };

// A power_supply tree of the given supplies (directory name → attributes).
struct Tree {
    testing::TemporaryDirectory sys;
    explicit Tree(const std::map<std::string, Attributes>& supplies,
                  Layout layout = Layout::files) {
        for (const auto& [name, attributes] : supplies) {
            const std::string directory = "class/power_supply/" + name + "/";
            std::string uevent = "POWER_SUPPLY_NAME=" + name + "\n";
            for (const auto& [attribute, value] : attributes) {
                if (layout == Layout::files ||
                    (layout == Layout::ueventWithoutType && attribute == "type")) {
                    sys.writeFile(directory + attribute, value + "\n");
                    continue;
                }
                std::string key;
                for (const char c : attribute)
                    key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                uevent += "POWER_SUPPLY_" + key + "=" + value + "\n";
            }
            if (layout != Layout::files) sys.writeFile(directory + "uevent", uevent);
        }
    }
    std::shared_ptr<SysfsPowerSources> sources() const {
        return std::make_shared<SysfsPowerSources>(sys.string());
    }
};

const Attributes mainsOnline{{"type", "Mains"}, {"online", "1"}};
const Attributes mainsOffline{{"type", "Mains"}, {"online", "0"}};

Attributes chargeBattery(const std::string& status, const std::string& current,
                         const std::string& now, const std::string& full) {
    return {{"type", "Battery"},      {"status", status},
            {"current_now", current}, {"charge_now", now},
            {"charge_full", full},    {"voltage_now", "12000000"},
            {"capacity", "33"},       {"voltage_min_design", "11000000"}};
}

TEST(SysfsBatteryCombination, PowerSourceAndFlowOfEachKindOfMachine) {
    struct Case {
        const char* name;
        std::map<std::string, Attributes> supplies;
        std::optional<bool> onBattery;
        bool charging;
        double levelPercent;
        std::optional<double> dischargeW;
    };
    // clang-format off
    const Case cases[] = {
        {"unknown status with a negative current discharges",
         {{"BAT0", chargeBattery("Unknown", "-1000000", "2000000", "4000000")}}, true, false, 33,
         12.0},
        {"charging on mains", {{"AC", mainsOnline},
         {"BAT0", chargeBattery("Charging", "1500000", "2000000", "4000000")}}, false, true, 33,
         {}},
        {"full on mains", {{"AC", mainsOnline},
         {"BAT0", chargeBattery("Full", "0", "4000000", "4000000")}}, false, false, 100, {}},
        {"two batteries are summed",
         {{"AC", mainsOffline},
          {"BAT0", chargeBattery("Discharging", "1000000", "1000000", "4000000")},
          {"BAT1", chargeBattery("Discharging", "500000", "2000000", "2000000")}},
         true, false, 50, 18.0},
        {"a peripheral battery only",
         {{"hid", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}}}},
         false, false, 0, {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        for (const Layout layout : {Layout::files, Layout::uevent, Layout::ueventWithoutType}) {
            SCOPED_TRACE(std::string(c.name) + ", layout " +
                         std::to_string(static_cast<int>(layout)));
            const Tree tree(c.supplies, layout);
            DirectBatteryStatusReader reader(tree.sources());
            EXPECT_EQ(reader.isOnBatteryPower(), c.onBattery);
            const auto sample = reader.sample();
            const auto both = reader.sampleWithPowerSource();
            EXPECT_EQ(both.sample, sample);
            EXPECT_EQ(both.isOnBatteryPower, c.onBattery);
            if (c.supplies.size() == 1 && c.supplies.begin()->first == "hid") {
                EXPECT_EQ(sample, std::nullopt);
                continue;
            }
            ASSERT_TRUE(sample);
            EXPECT_EQ(sample->externalPowerConnected, !*c.onBattery);
            EXPECT_EQ(sample->isCharging, c.charging);
            EXPECT_DOUBLE_EQ(sample->levelPercent, c.levelPercent);
            EXPECT_EQ(sample->dischargeWatts, c.dischargeW);
        }
    }
    EXPECT_EQ(SysfsPowerSources("/nonexistent").isOnBatteryPower(), std::nullopt);
}

// Energy-reporting batteries give the remaining energy as the kernel counts it, and the level
// is the kernel's capacity, exactly.
TEST(SysfsBatteryCombination, EnergyBatteryRemainingEnergyIsEnergyNow) {
    DirectBatteryStatusReader reader(std::make_shared<SysfsPowerSources>(
        std::string(JOULIX_FIXTURES) + "/power_supply/charging-laptop"));
    const auto sample = reader.sample();
    ASSERT_TRUE(sample);
    EXPECT_DOUBLE_EQ(*sample->remainingWh, 40.0);
    EXPECT_DOUBLE_EQ(sample->levelPercent, 80);
}

// One reader serves many samples: each sees the battery as it is now.
TEST(SysfsBatteryCombination, EachSampleReadsTheBatteryAfresh) {
    Tree tree({{"BAT0", chargeBattery("Discharging", "1000000", "3000000", "6000000")}});
    DirectBatteryStatusReader reader(tree.sources());
    ASSERT_EQ(reader.sample()->currentCapacityMah, 3000);
    tree.sys.writeFile("class/power_supply/BAT0/charge_now", "2500000\n");
    tree.sys.writeFile("class/power_supply/BAT0/status", "Charging\n");
    const auto later = reader.sample();
    EXPECT_EQ(later->currentCapacityMah, 2500);
    EXPECT_TRUE(later->isCharging);
}

// A reading answers every question from one reading of each file; the next reading is new.
TEST(SysfsBatteryCombination, AReadingReadsEachFileOnce) {
    Tree tree({{"BAT0", chargeBattery("Discharging", "1000000", "3000000", "6000000")},
               {"AC", mainsOffline}});
    const auto sources = tree.sources();
    const auto reading = sources->reading();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->isOnBatteryPower(), true);
    tree.sys.writeFile("class/power_supply/AC/online", "1\n");
    tree.sys.writeFile("class/power_supply/BAT0/charge_now", "2000000\n");
    EXPECT_EQ(reading->isOnBatteryPower(), true);
    const auto entry = reading->matchBatteryEntry();
    EXPECT_EQ(entry->property("CurrentCapacity"), PowerSourceValue(int64_t{2000}));
    EXPECT_EQ(entry->property("CurrentCapacity"), PowerSourceValue(int64_t{2000}));
    EXPECT_EQ(sources->reading()->isOnBatteryPower(), false);
    EXPECT_EQ(sources->isOnBatteryPower(), false);
}

}  // namespace
}  // namespace joulix
