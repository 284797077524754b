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

// A reading answers every question from one reading of each file; the next reading, and each
// sample of one reader, sees the battery as it is now.
TEST(SysfsBatteryCombination, AReadingReadsEachFileOnce) {
    Tree tree({{"BAT0", chargeBattery("Discharging", "1000000", "3000000", "6000000")},
               {"AC", mainsOffline}});
    const auto sources = tree.sources();
    DirectBatteryStatusReader reader(sources);
    ASSERT_EQ(reader.sample()->currentCapacityMah, 3000);
    const auto reading = sources->reading();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->isOnBatteryPower(), true);
    tree.sys.writeFile("class/power_supply/AC/online", "1\n");
    tree.sys.writeFile("class/power_supply/BAT0/charge_now", "2000000\n");
    tree.sys.writeFile("class/power_supply/BAT0/status", "Charging\n");
    EXPECT_EQ(reading->isOnBatteryPower(), true);
    const auto entry = reading->matchBatteryEntry();
    EXPECT_EQ(entry->property("CurrentCapacity"), PowerSourceValue(int64_t{2000}));
    EXPECT_EQ(entry->property("CurrentCapacity"), PowerSourceValue(int64_t{2000}));
    EXPECT_EQ(sources->reading()->isOnBatteryPower(), false);
    EXPECT_EQ(sources->isOnBatteryPower(), false);
    EXPECT_EQ(reader.sample()->currentCapacityMah, 2000);
    EXPECT_TRUE(reader.sample()->isCharging);
}

Attributes with(Attributes base, const Attributes& more) {
    for (const auto& [key, value] : more)
        base[key] = value;
    return base;
}

// 10 W out of a half-full 60 Wh battery.
const Attributes discharging{{"type", "Battery"},        {"status", "Discharging"},
                             {"energy_now", "30000000"}, {"energy_full", "60000000"},
                             {"power_now", "10000000"},  {"voltage_now", "11100000"}};
const Attributes idle{{"type", "Battery"},
                      {"energy_now", "30000000"},
                      {"energy_full", "60000000"},
                      {"power_now", "0"}};

struct Expected {
    bool onBattery = false;
    std::optional<double> levelPercent{};
    std::optional<double> dischargeW{};
    std::optional<double> remainingWh{};
    std::optional<int64_t> minutes{};
    bool charging = false;
    std::optional<int64_t> cycleCount{};
    std::optional<std::string> deviceName{};
};

// Battery shapes that real machines publish: the figures are right or absent, never a level of 0
// or watts through truncated milliamps.
TEST(SysfsBatteryCombination, ShapesOfRealMachinesGiveRightOrAbsentFigures) {
    struct Case {
        const char* name;
        std::map<std::string, Attributes> supplies;
        Expected expected;
    };
    // clang-format off
    const Case cases[] = {
        {"unknown status with a negative current discharges",
         {{"BAT0", chargeBattery("Unknown", "-1000000", "2000000", "4000000")}},
         {.onBattery = true, .levelPercent = 33, .dischargeW = 12, .remainingWh = 22,
          .minutes = 120}},
        {"charging on mains",
         {{"AC", mainsOnline},
          {"BAT0", chargeBattery("Charging", "1500000", "2000000", "4000000")}},
         {.levelPercent = 33, .remainingWh = 22, .minutes = 80, .charging = true}},
        {"full on mains",
         {{"AC", mainsOnline}, {"BAT0", chargeBattery("Full", "0", "4000000", "4000000")}},
         {.levelPercent = 100, .remainingWh = 44}},
        {"two batteries are summed",
         {{"AC", mainsOffline},
          {"BAT0", chargeBattery("Discharging", "1000000", "1000000", "4000000")},
          {"BAT1", chargeBattery("Discharging", "500000", "2000000", "2000000")}},
         {.onBattery = true, .levelPercent = 50, .dischargeW = 18, .remainingWh = 33,
          .minutes = 120}},
        {"a tablet's charger (scope Device) is no adapter of the machine",
         {{"AC", mainsOffline}, {"BAT0", discharging},
          {"wacom_ac_0", {{"type", "Mains"}, {"scope", "Device"}, {"online", "1"}}}},
         {.onBattery = true, .levelPercent = 50, .dischargeW = 10,
          .remainingWh = 30, .minutes = 180}},
        {"an online wireless charger is external power",
         {{"BAT0", with(idle, {{"status", "Charging"}, {"power_now", "5000000"}})},
          {"qi", {{"type", "Wireless"}, {"online", "1"}}}},
         {.levelPercent = 50, .remainingWh = 30, .minutes = 360, .charging = true}},
        {"a USB supply without online is no adapter",
         {{"BAT0", with(idle, {{"status", "Not charging"}})}, {"ucsi", {{"type", "USB"}}}},
         {.levelPercent = 50, .remainingWh = 30}},
        {"a programmable USB PD source (online 2) is online",
         {{"BAT0", with(idle, {{"status", "Not charging"}})},
          {"ucsi", {{"type", "USB"}, {"online", "2"}}}, {"AC", mainsOffline}},
         {.levelPercent = 50, .remainingWh = 30}},
        {"two batteries with only capacity 40",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "40"}}},
          {"BAT1", {{"type", "Battery"}, {"capacity", "40"}}}},
         {.levelPercent = 40}},
        {"capacities 40 and 60, one size unknown: weighed equally",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "40"}, {"charge_full", "4000000"}}},
          {"BAT1", {{"type", "Battery"}, {"capacity", "60"}, {"energy_full", "48000000"}}}},
         {.levelPercent = 50}},
        {"capacity 40 of 30 Wh and 100 of 10 Wh, weighted by full energy",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "40"}, {"energy_full", "30000000"}}},
          {"BAT1", {{"type", "Battery"}, {"capacity", "100"}, {"energy_full", "10000000"}}}},
         {.levelPercent = 55}},
        {"energy and power without any voltage",
         {{"AC", mainsOffline},
          {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"energy_now", "24000000"},
                    {"energy_full", "48000000"}, {"power_now", "5000000"}}}},
         {.onBattery = true, .levelPercent = 50, .dischargeW = 5,
          .remainingWh = 24, .minutes = 288}},
        {"power_now is taken as it is, before current_now",
         {{"AC", mainsOffline}, {"BAT0", with(discharging, {{"current_now", "1000000"}})}},
         {.onBattery = true, .levelPercent = 50, .dischargeW = 10,
          .remainingWh = 30, .minutes = 180}},
        {"a stray energy_now beside complete charge attributes",
         {{"AC", mainsOffline},
          {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"charge_now", "5250000"},
                    {"charge_full", "10500000"}, {"energy_now", "10000000"},
                    {"voltage_min_design", "12000000"}, {"voltage_now", "12000000"},
                    {"current_now", "1000000"}}}},
         {.onBattery = true, .levelPercent = 50, .dischargeW = 12,
          .remainingWh = 63, .minutes = 315}},
        {"two energy batteries at different design voltages",
         {{"AC", mainsOnline},
          {"BAT0", with(idle, {{"capacity", "75"}, {"energy_now", "30000000"},
                               {"energy_full", "40000000"}, {"voltage_min_design", "11100000"}})},
          {"BAT1", with(idle, {{"capacity", "33"}, {"energy_now", "10000000"},
                               {"energy_full", "30000000"}, {"voltage_min_design", "15200000"}})}},
         {.levelPercent = 4000.0 / 70, .remainingWh = 40}},
        {"power alone gives no level (absent, not 0 %)",
         {{"AC", mainsOffline},
          {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"power_now", "7000000"}}}},
         {.onBattery = true, .dischargeW = 7}},
        {"one battery without a level makes the level of two absent",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "40"}}},
          {"BAT1", {{"type", "Battery"}, {"status", "Unknown"}}}},
         {}},
        {"a charge-only battery without voltage",
         {{"AC", mainsOffline},
          {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"charge_now", "2000000"},
                    {"charge_full", "4000000"}, {"current_now", "-1000000"}}}},
         {.onBattery = true, .levelPercent = 50, .minutes = 120}},
        {"unknown status, no flow, no adapter", {{"BAT0", with(idle, {{"status", "Unknown"}})}},
         {.levelPercent = 50, .remainingWh = 30}},
        {"unknown status with an adapter offline",
         {{"AC", mainsOffline}, {"BAT0", with(idle, {{"status", "Unknown"}})}},
         {.onBattery = true, .levelPercent = 50, .remainingWh = 30}},
        {"not charging on an online adapter",
         {{"AC", mainsOnline}, {"BAT0", with(idle, {{"status", "Not charging"}})}},
         {.levelPercent = 50, .remainingWh = 30}},
        {"full on an online adapter",
         {{"AC", mainsOnline}, {"BAT0", with(idle, {{"status", "Full"}})}},
         {.levelPercent = 100, .remainingWh = 30}},
        {"full with the adapter offline",
         {{"AC", mainsOffline}, {"BAT0", with(idle, {{"status", "Full"}})}},
         {.onBattery = true, .levelPercent = 100, .remainingWh = 30}},
        {"cycle_count 0 is absent, a name loses its control bytes",
         {{"BAT0", with(idle, {{"cycle_count", "0"}, {"model_name", "5B10\x01W13\x7f"}})}},
         {.levelPercent = 50, .remainingWh = 30, .deviceName = "5B10W13"}},
        {"cycle_count -1 is absent, a present count is kept",
         {{"BAT0", with(idle, {{"cycle_count", "-1"}})},
          {"BAT1", with(idle, {{"cycle_count", "7"}})}},
         {.levelPercent = 50, .remainingWh = 60}},
        {"a first battery's count is the count",
         {{"BAT0", with(idle, {{"cycle_count", "7"}})}},
         {.levelPercent = 50, .remainingWh = 30, .cycleCount = 7}},
    };
    // clang-format on
    for (const auto& c : cases) {
        for (const Layout layout : {Layout::files, Layout::uevent, Layout::ueventWithoutType}) {
            SCOPED_TRACE(std::string(c.name) + ", layout " +
                         std::to_string(static_cast<int>(layout)));
            const Tree tree(c.supplies, layout);
            DirectBatteryStatusReader reader(tree.sources());
            const auto [sample, onBattery] = reader.sampleWithPowerSource();
            ASSERT_TRUE(sample);
            const Expected& e = c.expected;
            EXPECT_EQ(onBattery, e.onBattery);
            EXPECT_EQ(reader.isOnBatteryPower(), e.onBattery);
            EXPECT_EQ(reader.sample(), sample);
            EXPECT_EQ(sample->externalPowerConnected, !e.onBattery);
            EXPECT_EQ(sample->isCharging, e.charging);
            // -1 stands for absent.
            EXPECT_NEAR(sample->levelPercent.value_or(-1), e.levelPercent.value_or(-1), 1e-9);
            EXPECT_NEAR(sample->dischargeWatts.value_or(-1), e.dischargeW.value_or(-1), 1e-9);
            EXPECT_NEAR(sample->remainingWh.value_or(-1), e.remainingWh.value_or(-1), 1e-9);
            EXPECT_EQ(sample->systemTimeRemainingMinutes, e.minutes);
            EXPECT_EQ(sample->cycleCount, e.cycleCount);
            EXPECT_EQ(sample->deviceName, e.deviceName);
        }
    }
    // A peripheral's battery alone is no system battery; no tree at all is no power source.
    for (const Layout layout : {Layout::files, Layout::uevent, Layout::ueventWithoutType}) {
        const Tree peripheral(
            {{"hid", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}}}},
            layout);
        const auto [sample, onBattery] =
            DirectBatteryStatusReader(peripheral.sources()).sampleWithPowerSource();
        EXPECT_EQ(sample, std::nullopt);
        EXPECT_EQ(onBattery, false);
    }
    EXPECT_EQ(SysfsPowerSources("/nonexistent").isOnBatteryPower(), std::nullopt);
}

}  // namespace
}  // namespace joulix
