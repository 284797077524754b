#include "MetricsCollectors/BatteryStatusCollector.h"

#include "ScriptedShellRunner.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace joulix {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string fixture(const std::string& name) {
    return readFile(std::string(JOULIX_FIXTURES) + "/ioreg/" + name);
}

// A property list holding one battery dictionary with the given XML body.
std::string batteryPlist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><dict>" + body +
           "</dict></array></plist>";
}

BatteryStatusSample collect(const std::string& stdout) {
    auto shell = std::make_shared<testing::ScriptedShellRunner>();
    shell->answer("/usr/sbin/ioreg", {0, stdout, ""});
    return BatteryStatusCollector(shell).collectStatus();
}

TEST(BatteryStatusCollector, RunsIoregWithItsArgumentsAndReadsTheXMLFixture) {
    auto shell = std::make_shared<testing::ScriptedShellRunner>();
    shell->answer("/usr/sbin/ioreg", {0, fixture("apple-silicon-discharging.plist"), ""});
    const auto sample = BatteryStatusCollector(shell).collectStatus();

    ASSERT_EQ(shell->calls().size(), 1u);
    EXPECT_EQ(shell->calls()[0].arguments,
              (std::vector<std::string>{"-r", "-n", "AppleSmartBattery", "-a"}));
    BatteryStatusSample expected;
    expected.levelPercent = 87;
    expected.remainingWh = 87 * 12000 / 1e6;
    expected.isCharging = false;
    expected.externalPowerConnected = false;
    expected.dischargeWatts = 18.0;  // InstantAmperage stands in for the missing Amperage
    expected.cycleCount = 312;
    expected.voltageMV = 12000;
    expected.amperageMa = -1500;
    expected.temperatureCentiC = 3012;
    expected.designCapacityMah = 5103;
    expected.maxCapacityMah = 4980;
    expected.currentCapacityMah = 4321;
    expected.nominalChargeCapacityMah = 5010;
    expected.designCycleCount = 1000;
    expected.serialNumber = "F8Y2041ABCDQ1RJA";  // the empty "Serial" falls back
    expected.deviceName = "bq40z651";
    expected.fullyCharged = false;
    expected.isACPowered = false;
    // AvgTimeToEmpty 65535 is "unknown": no time, although TimeRemaining follows.
    EXPECT_EQ(sample, expected);
}

TEST(BatteryStatusCollector, ReadsAChargingBatteryInXMLAndBinaryAlike) {
    const auto sample = collect(fixture("apple-silicon-charging.plist"));
    EXPECT_EQ(
        BatteryStatusCollector::sampleFromPropertyList(fixture("apple-silicon-charging.bin.plist")),
        sample);
    EXPECT_EQ(sample.levelPercent, 60);
    EXPECT_TRUE(sample.isCharging);  // the text "YES"
    EXPECT_TRUE(sample.externalPowerConnected);
    EXPECT_EQ(sample.isACPowered, true);
    EXPECT_EQ(sample.dischargeWatts, std::nullopt);  // positive amperage
    EXPECT_EQ(sample.systemTimeRemainingMinutes, 42);
    EXPECT_EQ(sample.cycleCount, 313);
    EXPECT_EQ(sample.temperatureCentiC, 3050);
    EXPECT_EQ(sample.fullyCharged, false);
    EXPECT_EQ(sample.adapterWatts, 96);
    EXPECT_EQ(sample.adapterName, "96W USB-C Power Adapter");
    EXPECT_EQ(sample.currentCapacityMah, 2988);
}

TEST(BatteryStatusCollector, DerivedValues) {
    struct Case {
        const char* body;
        double level;
        std::optional<double> remainingWh;
        std::optional<double> dischargeWatts;
        std::optional<int64_t> minutes;
    };
    const Case cases[] = {
        {"<key>CurrentCapacity</key><integer>87</integer><key>MaxCapacity</key><integer>1"
         "</integer>",
         100, std::nullopt, std::nullopt, std::nullopt},
        {"<key>CurrentCapacity</key><integer>87</integer><key>MaxCapacity</key><integer>0"
         "</integer>",
         100, std::nullopt, std::nullopt, std::nullopt},
        {"<key>CurrentCapacity</key><integer>87</integer>", 100, std::nullopt, std::nullopt,
         std::nullopt},
        {"<key>CurrentCapacity</key><integer>-5</integer><key>MaxCapacity</key><integer>100"
         "</integer>",
         0, std::nullopt, std::nullopt, std::nullopt},
        // Voltage 0: no remaining energy, but a discharge of 0 W.
        {"<key>CurrentCapacity</key><integer>50</integer><key>MaxCapacity</key><integer>100"
         "</integer><key>Voltage</key><integer>0</integer><key>Amperage</key><integer>-900"
         "</integer>",
         50, std::nullopt, 0.0, std::nullopt},
        // No voltage: neither value.
        {"<key>CurrentCapacity</key><integer>50</integer><key>Amperage</key><integer>-900"
         "</integer>",
         100, std::nullopt, std::nullopt, std::nullopt},
        // Charging: no discharge even with a negative amperage.
        {"<key>Voltage</key><integer>12000</integer><key>Amperage</key><integer>-900</integer>"
         "<key>IsCharging</key><true/>",
         0, std::nullopt, std::nullopt, std::nullopt},
        {"<key>AvgTimeToEmpty</key><integer>0</integer>", 0, std::nullopt, std::nullopt,
         std::nullopt},
        {"<key>AvgTimeToEmpty</key><integer>1</integer>", 0, std::nullopt, std::nullopt, 1},
        {"<key>AvgTimeToEmpty</key><integer>65534</integer>", 0, std::nullopt, std::nullopt,
         std::nullopt},
        {"<key>TimeRemaining</key><string>95</string>", 0, std::nullopt, std::nullopt, 95},
        // Not charging: the time-to-full keys are not read.
        {"<key>AvgTimeToFull</key><integer>30</integer>", 0, std::nullopt, std::nullopt,
         std::nullopt},
        {"<key>IsCharging</key><integer>1</integer><key>AvgTimeToEmpty</key><integer>77"
         "</integer>",
         0, std::nullopt, std::nullopt, 77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const auto sample = collect(batteryPlist(c.body));
        EXPECT_DOUBLE_EQ(sample.levelPercent, c.level);
        EXPECT_EQ(sample.remainingWh, c.remainingWh);
        EXPECT_EQ(sample.dischargeWatts, c.dischargeWatts);
        EXPECT_EQ(sample.systemTimeRemainingMinutes, c.minutes);
    }
}

TEST(BatteryStatusCollector, ValueReadersRejectOtherTypes) {
    const auto sample = collect(batteryPlist(
        "<key>CycleCount</key><string>12a</string><key>Voltage</key><string>99999999999999999999"
        "</string><key>IsCharging</key><string>maybe</string><key>DeviceName</key><integer>7"
        "</integer><key>Temperature</key><true/><key>ExternalConnected</key><string>no</string>"
        "<key>ExternalChargeCapable</key><true/><key>AdapterDetails</key><string>x</string>"));
    EXPECT_EQ(sample.cycleCount, std::nullopt);
    EXPECT_EQ(sample.voltageMV, std::nullopt);
    EXPECT_FALSE(sample.isCharging);
    EXPECT_EQ(sample.deviceName, std::nullopt);
    EXPECT_EQ(sample.temperatureCentiC, std::nullopt);
    EXPECT_FALSE(sample.externalPowerConnected);  // "no" is present, so no fallback
    EXPECT_EQ(sample.adapterWatts, std::nullopt);
}

TEST(BatteryStatusCollector, Failures) {
    const auto failureOf = [](const std::string& stdout) -> std::string {
        try {
            collect(stdout);
        } catch (const ShellRunnerError& error) {
            return "shell: " + std::string(error.what());
        } catch (const PropertyListError&) {
            return "plist";
        }
        return "none";
    };
    const std::string unusable =
        "shell: " + std::string(ShellRunnerError::failedToLaunch(
                                    "Unable to parse AppleSmartBattery plist output.")
                                    .what());
    EXPECT_EQ(failureOf("<plist version=\"1.0\"><array/></plist>"), unusable);
    EXPECT_EQ(failureOf("<plist version=\"1.0\"><dict/></plist>"), unusable);
    EXPECT_EQ(failureOf("<plist version=\"1.0\"><array><dict/><string>x</string></array></plist>"),
              unusable);
    EXPECT_EQ(failureOf("not a property list"), "plist");
    EXPECT_EQ(failureOf(""), "plist");

    auto shell = std::make_shared<testing::ScriptedShellRunner>();
    shell->answer("/usr/sbin/ioreg", {1, "", "denied"});
    try {
        BatteryStatusCollector(shell).collectStatus();
        FAIL() << "no error";
    } catch (const ShellRunnerError& error) {
        EXPECT_EQ(error.kind(), ShellRunnerError::Kind::nonZeroExit);
    }
    EXPECT_THROW(
        BatteryStatusCollector(std::make_shared<testing::ScriptedShellRunner>()).collectStatus(),
        ShellRunnerError);
}

TEST(BatteryStatusCollector, ReadsARealIntelBatteryListing) {
    const std::string path = std::string(JOULIX_SHARED_FIXTURES) +
                             "/ioreg/intel-bq20z451-2019-xml-ioreg-n-AppleSmartBattery-r-a.plist";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared samples absent";
    const auto sample = collect(readFile(path));
    EXPECT_DOUBLE_EQ(sample.levelPercent, 2758.0 / 6533.0 * 100.0);
    EXPECT_DOUBLE_EQ(*sample.remainingWh, 2758.0 * 7625.0 / 1e6);
    EXPECT_DOUBLE_EQ(*sample.dischargeWatts, 36.0 * 7625.0 / 1e6);
    EXPECT_EQ(sample.systemTimeRemainingMinutes, 4597);
    EXPECT_EQ(sample.serialNumber, "D8654840J4TF90KBK");
    EXPECT_EQ(sample.designCycleCount, 1000);
}

}  // namespace
}  // namespace joulix
