#include "Attribution/ReferenceAttribution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using namespace joulix;

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

struct Process {
    int64_t pid;
    double cpuPercent;
    std::optional<double> packageW = std::nullopt;
};

}  // namespace

TEST(ReferenceAttribution, SplitsTheTotalByTheRules) {
    const std::string pm{ReferenceAttribution::powermetricsPackageFlag};
    const std::string cpu{ReferenceAttribution::cpuShareFlag};
    const std::string scaled{ReferenceAttribution::scaledToTotalFlag};
    struct Case {
        const char* name;
        double totalW, screenW, usbW;
        std::vector<Process> processes;
        std::map<int64_t, double> expectedDrainW;  // processes listed, nothing else
        double expectedUnattributedW;
        std::map<int64_t, std::vector<std::string>> expectedFlags = {};
    };
    // clang-format off
    const Case cases[] = {
        {"powermetrics present", 10, 1, 1, {{1, 50, 3}, {2, 10, 2}}, {{1, 3}, {2, 2}}, 3,
         {{1, {pm}}, {2, {pm}}}},
        {"powermetrics absent: CPU share of total less components", 12, 1.5, 0.5,
         {{1, 75}, {2, 25}, {3, 0}}, {{1, 7.5}, {2, 2.5}}, 0, {{1, {cpu}}, {2, {cpu}}}},
        {"partial: CPU share of what powermetrics left", 10, 0, 0, {{1, 10, 4}, {2, 30}, {3, 10}},
         {{1, 4}, {2, 4.5}, {3, 1.5}}, 0, {{1, {pm}}, {2, {cpu}}, {3, {cpu}}}},
        {"powermetrics above the pool is scaled to fit", 5, 1, 0, {{1, 0, 6}, {2, 0, 2}, {3, 50}},
         {{1, 3}, {2, 1}}, 0, {{1, {pm, scaled}}, {2, {pm, scaled}}}},
        {"zero total", 0, 0, 0, {{1, 50, 2}, {2, 50}}, {}, 0},
        {"CPU shares sum to zero: the pool stays unattributed", 8, 2, 0, {{1, 0}, {2, 0}}, {}, 6},
        {"components above the total", 1, 2, 1, {{1, 100}}, {}, 0},
        {"NaN and negative figures are refused", 10, notANumber, -1,
         {{1, notANumber}, {2, -5}, {3, 20, -2}}, {{3, 10}}, 0, {{3, {cpu}}}},
        {"NaN powermetrics watts count as absent", 4, 0, 0,
         {{1, 10, notANumber}, {2, 30, infinity}}, {{1, 1}, {2, 3}}, 0},
        {"NaN total", notANumber, 1, 0, {{1, 100}}, {}, 0},
        {"negative total", -3, 0, 0, {{1, 100, 2}}, {}, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttributionInput input{.timestamp = Date{1000},
                               .totalDischargeW = c.totalW,
                               .screenModelW = c.screenW,
                               .usbModelW = c.usbW};
        for (const Process& p : c.processes)
            input.processes.push_back({.pid = p.pid,
                                       .name = "p" + std::to_string(p.pid),
                                       .powermetricsPackageW = p.packageW,
                                       .cpuPercent = p.cpuPercent});
        const DrainSnapshot snapshot = ReferenceAttribution::attribute(input, {}, {});
        const double total = std::isfinite(c.totalW) && c.totalW > 0 ? c.totalW : 0;
        EXPECT_EQ(snapshot.totalDischargeW, total);
        EXPECT_NEAR(snapshot.unattributedW, c.expectedUnattributedW, 1e-9);
        std::map<int64_t, double> drains;
        double lastW = infinity;
        for (const ProcessDrain& drain : snapshot.processes) {
            drains[drain.pid] = drain.drainW;
            EXPECT_LE(drain.drainW, lastW) << "busiest first";
            lastW = drain.drainW;
            EXPECT_NEAR(drain.energyShare, drain.drainW / total, 1e-12);
            if (c.expectedFlags.contains(drain.pid)) {
                EXPECT_EQ(drain.sourceFlags, c.expectedFlags.at(drain.pid)) << drain.pid;
            }
        }
        ASSERT_EQ(drains.size(), c.expectedDrainW.size());
        for (const auto& [pid, drainW] : c.expectedDrainW)
            EXPECT_NEAR(drains[pid], drainW, 1e-9) << pid;
    }
}

TEST(ReferenceAttribution, HiddenWorkloadsCarryTheirHostsSharedWatts) {
    AttributionInput input{
        .totalDischargeW = 10,
        .processes = {ProcessSample{.pid = 7, .cpuPercent = 60},
                      ProcessSample{.pid = 8, .cpuPercent = 40}},
        .hiddenMappings = {
            {HiddenDrainKind::dockerContainer, "web", {{7, 0.5}, {8, 2.0}, {99, 1.0}}},
            {HiddenDrainKind::launchdService, "idle", {}}}};
    const DrainSnapshot snapshot = ReferenceAttribution::attribute(input, {}, {});
    ASSERT_EQ(snapshot.hidden.size(), 2u);
    EXPECT_NEAR(snapshot.hidden[0].drainW, 6 * 0.5 + 4 * 1.0, 1e-9);  // shares capped at 1
    EXPECT_EQ(snapshot.hidden[1], (HiddenDrain{HiddenDrainKind::launchdService, "idle", 0}));
    EXPECT_NEAR(snapshot.unattributedW, 0, 1e-9);  // hidden power is part of its hosts'
}

TEST(ReferenceAttribution, PowerContextComesFromTheBatteryElseTheTelemetry) {
    const SourceTelemetry onAC{.usedEstimatedTotalPower = true};
    const BatteryStatusSample discharging{.levelPercent = 64};
    const BatteryStatusSample charging{.levelPercent = 80, .isCharging = true};
    const std::tuple<std::optional<SourceTelemetry>, std::optional<BatteryStatusSample>,
                     std::optional<PowerUsageContext>>
        cases[] = {
            {onAC, discharging, PowerUsageContext{true, 64}},
            {std::nullopt, charging, PowerUsageContext{false, 80}},
            {onAC, std::nullopt, PowerUsageContext{false, std::nullopt}},
            {SourceTelemetry{}, std::nullopt, PowerUsageContext{true, std::nullopt}},
            {std::nullopt, std::nullopt, std::nullopt},
        };
    for (const auto& [telemetry, battery, expected] : cases) {
        const DrainSnapshot snapshot =
            ReferenceAttribution::attribute({.totalDischargeW = 5}, telemetry, battery);
        EXPECT_EQ(snapshot.powerContext, expected);
        EXPECT_EQ(snapshot.telemetry, telemetry);
        EXPECT_EQ(snapshot.batteryStatus, battery);
    }
}
