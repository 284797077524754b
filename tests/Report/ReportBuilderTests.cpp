// The page says where its figures came from: the power source and the estimates among the
// snapshots, components never measured, a machine without a battery, and periods on AC power.
#include "Report/ReportBuilder.h"

#include <gtest/gtest.h>

using namespace joulix;

namespace {

DrainSnapshot snapshotAt(double seconds, bool onBattery, std::optional<double> level) {
    DrainSnapshot snapshot{.timestamp = Date::fromTimeIntervalSince1970(1.7e9 + seconds),
                           .totalDischargeW = 10};
    snapshot.telemetry =
        SourceTelemetry{.powermetricsHasPackagePower = true, .usedEstimatedTotalPower = !onBattery};
    snapshot.powerContext = PowerUsageContext{onBattery, level};
    return snapshot;
}

ReportInput inputOf(std::vector<DrainSnapshot> snapshots) {
    ReportInput input{.databasePath = "h.sqlite", .windowS = 3600};
    input.details.snapshotCount = static_cast<int64_t>(snapshots.size());
    input.details.windowStart = snapshots.front().timestamp;
    input.details.windowEnd = snapshots.back().timestamp;
    input.details.componentAverages = {.totalW = 10, .processW = 6, .cpuW = 0, .gpuW = 1.5};
    input.chartSnapshots = std::move(snapshots);
    return input;
}

std::string pageOf(const ReportInput& input) {
    return renderReportPage(buildReportPage(input));
}

}  // namespace

TEST(ReportBuilder, SaysWhereItsFiguresCameFrom) {
    const std::string page =
        pageOf(inputOf({snapshotAt(0, true, 80), snapshotAt(60, true, 79),
                        snapshotAt(120, false, 79), snapshotAt(180, false, 80)}));
    EXPECT_NE(page.find("Power source: battery discharge (2), RAPL package power plus display and "
                        "USB estimates (2); 2 of the 4 snapshots drawn are estimates."),
              std::string::npos);
    EXPECT_NE(page.find("<td>CPU</td><td class=\"n\">not measured</td>"), std::string::npos);
    EXPECT_NE(page.find("<td>GPU</td><td class=\"n\">1.50</td>"), std::string::npos);
    EXPECT_NE(page.find("<title>on AC power</title></rect>"), std::string::npos);
    EXPECT_EQ(page.find("No battery"), std::string::npos);

    ReportInput strided = inputOf({snapshotAt(0, true, 80), snapshotAt(600, false, 79)});
    strided.details.snapshotCount = 20;
    EXPECT_NE(pageOf(strided).find("1 of the 2 snapshots drawn (one in 10 of the window&#39;s "
                                   "20) are estimates."),
              std::string::npos);
}

TEST(ReportBuilder, AMachineWithoutABatterySaysSo) {
    const std::string page =
        pageOf(inputOf({snapshotAt(0, false, std::nullopt), snapshotAt(60, false, std::nullopt)}));
    EXPECT_NE(page.find("No battery: no battery level was recorded in this window."),
              std::string::npos);
    EXPECT_EQ(page.find("Battery level</h3>"), std::string::npos);

    ReportInput levelless = inputOf({snapshotAt(0, true, std::nullopt)});
    levelless.chartSnapshots[0].batteryStatus = BatteryStatusSample{.dischargeWatts = 7};
    EXPECT_NE(pageOf(levelless).find("No battery level: the battery reported nothing it can be "
                                     "derived from in this window."),
              std::string::npos);
}

TEST(ReportBuilder, KernelThreadsAreBracketedNames) {
    for (const auto& [name, kernel] : {std::pair{"[kworker/0:1-events]", true},
                                       {"[ksoftirqd/3]", true},
                                       {"[]", false},
                                       {"firefox", false},
                                       {"[bracketed] app", false}})
        EXPECT_EQ(isKernelThreadName(name), kernel) << name;
}

// Time to empty and to full at the window's average rate: the battery's energy change over the
// intervals in one state (longer intervals left out), against the newest snapshot's energy.
TEST(ReportBuilder, TimeToEmptyAndToFullOverTheWindow) {
    struct Reading {
        double at;
        bool charging;
        std::optional<double> remainingWh;
    };
    struct Case {
        const char* name;
        std::vector<Reading> readings;
        std::vector<std::string> expected;
        std::vector<std::string> absent;
    };
    const std::string emptyText = "Over the window the battery discharged at";
    const std::vector<Case> cases = {
        {"discharging; the 10-minute gap is left out",
         {{0, false, 30.2}, {60, false, 30.1}, {660, false, 20}, {720, false, 19.9}},
         {emptyText + " 6.0 W on average: at that rate its 19.9 Wh last 3.3 h."},
         {"It charged at"}},
        {"discharging, then charging at 12 W to a full 60 Wh from 30 Wh at 50 %",
         {{0, false, 30.2}, {60, false, 30.1}, {120, true, 29.8}, {180, true, 30}},
         {emptyText + " 6.0 W on average: at that rate its 30.0 Wh last 5.0 h.",
          "It charged at 12.0 W on average: at that rate it is full in 2.5 h."},
         {}},
        {"energy not recorded",
         {{0, false, std::nullopt}, {60, false, std::nullopt}},
         {"No energy stored in the battery was recorded, so there is no time to empty or to full"},
         {emptyText}},
    };
    for (const Case& c : cases) {
        std::vector<DrainSnapshot> snapshots;
        for (const Reading& reading : c.readings) {
            DrainSnapshot& snapshot =
                snapshots.emplace_back(snapshotAt(reading.at, !reading.charging, 50));
            snapshot.batteryStatus =
                BatteryStatusSample{.levelPercent = 50,
                                    .remainingWh = reading.remainingWh,
                                    .isCharging = reading.charging,
                                    .externalPowerConnected = reading.charging};
        }
        ReportInput input = inputOf(snapshots);
        input.details.rangeSnapshot = snapshots.back();
        const std::string page = pageOf(input);
        for (const std::string& text : c.expected)
            EXPECT_NE(page.find(text), std::string::npos) << c.name << ": " << text;
        for (const std::string& text : c.absent)
            EXPECT_EQ(page.find(text), std::string::npos) << c.name << ": " << text;
    }
}
