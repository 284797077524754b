#include "Export/PrometheusPowerMetrics.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/cli/RunJoulix.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

// The value of one sample line ("name{labels} value") of the text format; absent without it.
std::optional<double> sample(const std::string& text, const std::string& series) {
    const auto at = text.find("\n" + series + " ");
    if (at == std::string::npos) return std::nullopt;
    return std::stod(text.substr(at + series.size() + 2));
}

ExportedPass pass(double timestampS, double totalW, const std::string& source, bool onBattery) {
    ExportedPass result{.timestampS = timestampS, .totalW = totalW};
    result.metadata.totalPowerSource = source;
    result.metadata.isOnBatteryPower = onBattery;
    return result;
}

TEST(PrometheusPowerMetrics, PowerSourceLabels) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"power_supply", "battery"},          {"IOKit", "battery"},
        {"RAPL-Package+Components", "rapl"},  {"PM-Package+Components", "powermetrics"},
        {"Estimate-Display+USB", "estimate"}, {"none", ""},
    };
    for (const auto& [total, label] : cases) {
        AttributionBuildMetadata metadata;
        metadata.totalPowerSource = total;
        EXPECT_EQ(PrometheusPowerMetrics::powerSourceLabel(metadata), label) << total;
    }
}

TEST(PrometheusPowerMetrics, EnergyCountersUseCappedTrapezoidsBetweenMeasuredPasses) {
    PrometheusPowerMetrics metrics("1.2.3", 10);
    metrics.recordPass(pass(1000, 10, "power_supply", true), 0.01);
    metrics.recordPass(pass(1120, 20, "power_supply", true), 0.01);              // 60 s × 15 W
    metrics.recordPass(pass(1125, 0, "none", true), 0.01);                       // no source: a gap
    metrics.recordPass(pass(1130, 30, "RAPL-Package+Components", false), 0.01);  // 10 s × 25 W
    const std::string text = metrics.text();
    EXPECT_EQ(sample(text, "joulix_energy_joules_total"), 900 + 250);
    EXPECT_EQ(sample(text, "joulix_battery_energy_joules_total"), 900);
    EXPECT_EQ(sample(text, "joulix_power_watts{source=\"rapl\"}"), 30);
    EXPECT_EQ(sample(text, "joulix_on_battery"), 0);
    EXPECT_EQ(sample(text, "joulix_build_info{version=\"1.2.3\"}"), 1);
    EXPECT_EQ(sample(text, "joulix_pass_duration_seconds_count"), 4);

    metrics.recordPass(pass(1135, 0, "none", true), 0.01);
    EXPECT_EQ(metrics.text().find("joulix_power_watts"), std::string::npos)
        << "a pass without a source has no power figure";
}

TEST(PrometheusPowerMetrics, BatteryFiguresOnlyWithABattery) {
    PrometheusPowerMetrics metrics("1", 10);
    metrics.recordPass(pass(0, 5, "RAPL-Package+Components", false), 0.01);
    EXPECT_EQ(metrics.text().find("joulix_battery_level"), std::string::npos);

    ExportedPass withBattery = pass(10, 18, "power_supply", true);
    withBattery.batteryStatus = BatteryStatusSample{.levelPercent = 61,
                                                    .remainingWh = 36,
                                                    .systemTimeRemainingMinutes = 120,
                                                    .cycleCount = 42,
                                                    .designCapacityMah = 5500,
                                                    .maxCapacityMah = 5000,
                                                    .currentCapacityMah = 3000};
    metrics.recordPass(withBattery, 0.01);
    const std::string text = metrics.text();
    EXPECT_EQ(sample(text, "joulix_battery_level_ratio"), 0.61);
    EXPECT_EQ(sample(text, "joulix_battery_energy_joules"), 36 * 3600);
    EXPECT_NEAR(*sample(text, "joulix_battery_full_energy_joules"), 60 * 3600, 1e-6);
    EXPECT_NEAR(*sample(text, "joulix_battery_design_energy_joules"), 66 * 3600, 1e-6);
    EXPECT_EQ(sample(text, "joulix_battery_cycles"), 42);
    EXPECT_EQ(sample(text, "joulix_battery_time_to_empty_seconds"), 7200);
    EXPECT_FALSE(sample(text, "joulix_battery_time_to_full_seconds"));

    withBattery.batteryStatus->levelPercent.reset();
    metrics.recordPass(withBattery, 0.01);
    EXPECT_FALSE(sample(metrics.text(), "joulix_battery_level_ratio")) << "absent, never 0";
}

TEST(PrometheusPowerMetrics, AFailedPassKeepsTheLastGoodFigures) {
    PrometheusPowerMetrics metrics("1", 10);
    metrics.recordPass(pass(0, 7, "power_supply", true), 0.01);
    const std::string before = metrics.text();
    metrics.recordFailure(0.5);
    const std::string after = metrics.text();
    EXPECT_EQ(sample(after, "joulix_pass_failures_total"), 1);
    EXPECT_EQ(sample(after, "joulix_power_watts{source=\"battery\"}"), 7);
    EXPECT_EQ(sample(after, "joulix_pass_duration_seconds_count"), 2);
}

// Names from processes may hold quotes, backslashes, line breaks and invalid UTF-8; the
// exposition stays valid for Prometheus's own checker.
TEST(PrometheusPowerMetrics, ExpositionPassesPromtool) {
    if (::access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool is not installed";
    PrometheusPowerMetrics metrics("0.1.0", 3);
    ExportedPass first = pass(0, 12, "power_supply", true);
    first.batteryStatus = BatteryStatusSample{.levelPercent = 50, .remainingWh = 20};
    first.wattsByApplication = {
        {"say \"hi\"\\\nnow", 3}, {"bad\xff\xfe", 2}, {"Firefox", 5}, {"Steam", 1}};
    metrics.setPowerProfile("balanced");
    metrics.recordPass(first, 0.02);
    metrics.recordPass(pass(5, 12, "power_supply", true), 0.02);
    const testing::TemporaryDirectory folder;
    folder.writeFile("metrics.prom", metrics.text());
    const auto check = testing::runCommand("/usr/bin/promtool check metrics < " + folder.string() +
                                           "/metrics.prom 2>&1");
    EXPECT_EQ(check.status, 0) << check.output << metrics.text();
    EXPECT_NE(metrics.text().find("app=\"say \\\"hi\\\"\\\\\\nnow\""), std::string::npos);
    EXPECT_NE(metrics.text().find("joulix_power_profile_info{profile=\"balanced\"} 1"),
              std::string::npos);
}

}  // namespace
}  // namespace joulix
