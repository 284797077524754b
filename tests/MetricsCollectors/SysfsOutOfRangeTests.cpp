#include "MetricsCollectors/DirectBatteryStatusReader.h"
#include "Platform/linux/SysfsPowerSources.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

// Attribute values at the ends of the integer range give absent fields, not overflowed ones.
TEST(SysfsPowerSources, ExtremeAttributeValuesGiveAbsentFields) {
    testing::TemporaryDirectory sys;
    const std::string battery = "class/power_supply/BAT0/";
    for (const auto& [name, value] :
         std::map<std::string, std::string>{{"type", "Battery"},
                                            {"status", "Discharging"},
                                            {"current_now", "-9223372036854775808"},
                                            {"energy_now", "9223372036854775807"},
                                            {"voltage_min_design", "1"},
                                            {"voltage_now", "11000000"},
                                            {"temp", "-9223372036854775808"}}) {
        sys.writeFile(battery + name, value + "\n");
    }
    sys.writeFile("class/power_supply/AC/type", "Mains\n");
    sys.writeFile("class/power_supply/AC/online", "1\n");
    sys.writeFile("class/power_supply/AC/voltage_max", "9223372036854775807\n");
    sys.writeFile("class/power_supply/AC/current_max", "9223372036854775807\n");

    DirectBatteryStatusReader reader(std::make_shared<SysfsPowerSources>(sys.string()));
    const auto sample = reader.sample();
    ASSERT_TRUE(sample);
    EXPECT_LT(sample->amperageMa.value_or(0), -9'000'000'000'000'000 / 1000);
    EXPECT_EQ(sample->currentCapacityMah, std::nullopt);
    EXPECT_EQ(sample->temperatureCentiC, std::nullopt);
    EXPECT_EQ(sample->adapterWatts, std::nullopt);
    EXPECT_EQ(sample->systemTimeRemainingMinutes, std::nullopt);
}

}  // namespace
}  // namespace joulix
