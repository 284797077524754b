#include "MetricsCollectors/BatteryStatusCollector.h"

#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <tuple>

namespace joulix {
namespace {

using testing::batteryPlist;
using testing::fixture;

BatteryStatusSample collect(const ShellResult& answer,
                            std::vector<std::string>* arguments = nullptr) {
    auto shell = testing::scriptedShell();
    shell->answer("/usr/sbin/ioreg", answer);
    const auto sample = BatteryStatusCollector(shell).collectStatus();
    if (arguments) *arguments = shell->calls().at(0).arguments;
    return sample;
}
BatteryStatusSample collect(const std::string& stdout) {
    return collect({0, stdout, ""});
}

TEST(BatteryStatusCollector, RunsIoregWithItsArgumentsAndReadsTheXMLFixture) {
    std::vector<std::string> arguments;
    const auto sample =
        collect({0, fixture("ioreg/apple-silicon-discharging.plist"), ""}, &arguments);
    EXPECT_EQ(arguments, (std::vector<std::string>{"-r", "-n", "AppleSmartBattery", "-a"}));
    // InstantAmperage stands in for the missing Amperage, the empty "Serial" falls back, and
    // AvgTimeToEmpty 65535 is "unknown": no time although TimeRemaining follows.
    // clang-format off
    const BatteryStatusSample expected{
        .levelPercent = 87, .remainingWh = 4321 * 12000 / 1e6, .isCharging = false,
        .externalPowerConnected = false, .dischargeWatts = 18.0, .cycleCount = 312,
        .voltageMV = 12000, .amperageMa = -1500, .temperatureCentiC = 3012,
        .designCapacityMah = 5103, .maxCapacityMah = 4980, .currentCapacityMah = 4321,
        .nominalChargeCapacityMah = 5010, .designCycleCount = 1000,
        .serialNumber = "F8Y2041ABCDQ1RJA", .deviceName = "bq40z651", .fullyCharged = false,
        .isACPowered = false};
    // clang-format on
    EXPECT_EQ(sample, expected);
}

TEST(BatteryStatusCollector, ReadsAChargingBatteryInXMLAndBinaryAlike) {
    const auto sample = collect(fixture("ioreg/apple-silicon-charging.plist"));
    EXPECT_EQ(BatteryStatusCollector::sampleFromPropertyList(
                  fixture("ioreg/apple-silicon-charging.bin.plist")),
              sample);
    // IsCharging is the text "YES"; the amperage is positive, so there is no discharge; the
    // temperature 3050.7 is cut to whole hundredths.
    // clang-format off
    const BatteryStatusSample expected{
        .levelPercent = 60, .remainingWh = 2988 * 12850 / 1e6, .isCharging = true,
        .externalPowerConnected = true, .systemTimeRemainingMinutes = 42, .cycleCount = 313,
        .voltageMV = 12850, .amperageMa = 2100, .temperatureCentiC = 3050,
        .maxCapacityMah = 4980, .currentCapacityMah = 2988, .serialNumber = "F8Y2041ABCDQ1RJA",
        .deviceName = "bq40z651", .fullyCharged = false, .isACPowered = true, .adapterWatts = 96,
        .adapterName = "96W USB-C Power Adapter"};
    // clang-format on
    EXPECT_EQ(sample, expected);
}

TEST(BatteryStatusCollector, DerivedValues) {
    // entries, level, discharge watts, minutes remaining
    const std::tuple<const char*, double, std::optional<double>, std::optional<int64_t>> cases[] = {
        {"CurrentCapacity=87 MaxCapacity=1", 100, {}, {}},
        {"CurrentCapacity=87 MaxCapacity=0", 100, {}, {}},
        {"CurrentCapacity=87", 100, {}, {}},
        {"CurrentCapacity=-5 MaxCapacity=100", 0, {}, {}},
        // Voltage 0: no remaining energy, but a discharge of 0 W; no voltage: neither.
        {"CurrentCapacity=50 MaxCapacity=100 Voltage=0 Amperage=-900", 50, 0.0, {}},
        {"CurrentCapacity=50 Amperage=-900", 100, {}, {}},
        {"Voltage=12000 Amperage=-900 IsCharging=true", 0, {}, {}},
        {"AvgTimeToEmpty=0", 0, {}, {}},
        {"AvgTimeToEmpty=1", 0, {}, 1},
        {"AvgTimeToEmpty=65534", 0, {}, {}},
        {"TimeRemaining='95'", 0, {}, 95},
        {"AvgTimeToFull=30", 0, {}, {}},  // not charging: time to full is not read
        {"IsCharging=1 AvgTimeToEmpty=77", 0, {}, 77},
    };
    for (const auto& [entries, level, dischargeWatts, minutes] : cases) {
        SCOPED_TRACE(entries);
        const auto sample = collect(batteryPlist(entries));
        EXPECT_DOUBLE_EQ(*sample.levelPercent, level);
        EXPECT_EQ(sample.remainingWh, std::nullopt);
        EXPECT_EQ(sample.dischargeWatts, dischargeWatts);
        EXPECT_EQ(sample.systemTimeRemainingMinutes, minutes);
    }
}

TEST(BatteryStatusCollector, ValueReadersRejectOtherTypes) {
    const auto sample = collect(batteryPlist(
        "CycleCount=12a Voltage='99999999999999999999' IsCharging=maybe DeviceName=7 "
        "Temperature=true ExternalConnected=no ExternalChargeCapable=true AdapterDetails=x"));
    EXPECT_EQ(sample.cycleCount, std::nullopt);
    EXPECT_EQ(sample.voltageMV, std::nullopt);
    EXPECT_FALSE(sample.isCharging);
    EXPECT_EQ(sample.deviceName, std::nullopt);
    EXPECT_EQ(sample.temperatureCentiC, std::nullopt);
    EXPECT_FALSE(sample.externalPowerConnected);  // "no" is present, so no fallback
    EXPECT_EQ(sample.adapterWatts, std::nullopt);
}

TEST(BatteryStatusCollector, Failures) {
    const auto failureOf = [](const ShellResult& answer) -> std::string {
        try {
            collect(answer);
        } catch (const ShellRunnerError& error) {
            return error.what();
        } catch (const PropertyListError&) {
            return "plist";
        }
        return "none";
    };
    const std::string unusable = "Failed to launch command: Unable to parse AppleSmartBattery "
                                 "plist output.";
    const std::pair<ShellResult, std::string> cases[] = {
        {{0, "<plist version=\"1.0\"><array/></plist>", ""}, unusable},
        {{0, "<plist version=\"1.0\"><dict/></plist>", ""}, unusable},
        {{0, "<plist version=\"1.0\"><array><dict/><string>x</string></array></plist>", ""},
         unusable},
        {{0, "not a property list", ""}, "plist"},
        {{0, "", ""}, "plist"},
        {{1, "", "denied"}, "Command exited with status 1: denied"},
    };
    for (const auto& [answer, failure] : cases)
        EXPECT_EQ(failureOf(answer), failure) << answer.stdout;
}

TEST(BatteryStatusCollector, ReadsARealIntelBatteryListing) {
    const std::string path = std::string(JOULIX_SHARED_FIXTURES) +
                             "/ioreg/intel-bq20z451-2019-xml-ioreg-n-AppleSmartBattery-r-a.plist";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared samples absent";
    const auto sample = collect(testing::readFile(path));
    EXPECT_DOUBLE_EQ(*sample.levelPercent, 2758.0 / 6533.0 * 100.0);
    EXPECT_DOUBLE_EQ(*sample.remainingWh, 2758.0 * 7625.0 / 1e6);
    EXPECT_DOUBLE_EQ(*sample.dischargeWatts, 36.0 * 7625.0 / 1e6);
    EXPECT_EQ(sample.systemTimeRemainingMinutes, 4597);
    EXPECT_EQ(sample.serialNumber, "D8654840J4TF90KBK");
}

}  // namespace
}  // namespace joulix
