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
}

TEST(ReportBuilder, AMachineWithoutABatterySaysSo) {
    const std::string page =
        pageOf(inputOf({snapshotAt(0, false, std::nullopt), snapshotAt(60, false, std::nullopt)}));
    EXPECT_NE(page.find("No battery: no battery level was recorded in this window."),
              std::string::npos);
    EXPECT_EQ(page.find("Battery level</h3>"), std::string::npos);
}

TEST(ReportBuilder, KernelThreadsAreBracketedNames) {
    for (const auto& [name, kernel] : {std::pair{"[kworker/0:1-events]", true},
                                       {"[ksoftirqd/3]", true},
                                       {"[]", false},
                                       {"firefox", false},
                                       {"[bracketed] app", false}})
        EXPECT_EQ(isKernelThreadName(name), kernel) << name;
}
