#include "SharedModels/Presentation/GraphBuildEngine.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace joulix;
namespace G = joulix::GraphBuildEngine;

namespace {

Date at(double seconds) {
    return Date::fromTimeIntervalSince1970(1'700'000'000 + seconds);
}

PreparedSnapshot prepared(double seconds, double totalW, std::optional<double> level = {},
                          std::optional<bool> onBattery = {}) {
    PreparedSnapshot entry;
    entry.snapshot.timestamp = at(seconds);
    entry.snapshot.totalDischargeW = totalW;
    entry.processW = totalW / 2;
    entry.batteryLevelPercent = level;
    entry.onBatteryPower = onBattery;
    return entry;
}

PowerTrendPoint point(double seconds, double totalW, int64_t id = 0) {
    return {.id = id, .timestamp = at(seconds), .totalW = totalW};
}

DrainSnapshot snapshot(double seconds, double totalW, double processW) {
    return {.timestamp = at(seconds),
            .totalDischargeW = totalW,
            .processes = {ProcessDrain{.pid = 1, .name = "p", .drainW = processW}}};
}

}  // namespace

TEST(GraphBuildEngine, OneSnapshotHasNoEnergyOrAppEnergyAndAOnePointTrend) {
    const std::vector<PreparedSnapshot> one{prepared(0, 12, 50)};
    EXPECT_EQ(G::accumulateIntervals(one), IntervalAccumulation{});
    EXPECT_EQ(G::smoothedTrend(one).size(), 1u);
    const std::vector<std::string> apps{"A"};
    EXPECT_TRUE(G::buildAppEnergyTrend(one, 100, apps).empty());
}

TEST(GraphBuildEngine, IntervalsAreCappedAtOneMinuteAndRemovableWithTheNegativeMultiplier) {
    auto first = prepared(0, 10, std::nullopt, true);
    auto second = prepared(120, 20, std::nullopt, false);
    first.appWattsByName = {{"A", 4}, {"B", 2}};
    second.appWattsByName = {{"A", 6}};
    const std::vector<PreparedSnapshot> pair{first, second};
    const auto accumulation = G::accumulateIntervals(pair);
    EXPECT_DOUBLE_EQ(accumulation.totalWh, 0.25);
    EXPECT_DOUBLE_EQ(accumulation.sampleHours, 1.0 / 60);
    EXPECT_DOUBLE_EQ(accumulation.trackedHours, 120.0 / 3600);
    EXPECT_DOUBLE_EQ(accumulation.processWh, 0.125);
    EXPECT_DOUBLE_EQ(accumulation.batteryWh, 0);  // the current snapshot's flag decides
    EXPECT_DOUBLE_EQ(accumulation.appWhByName.at("A"), 5.0 / 60);
    EXPECT_DOUBLE_EQ(accumulation.appWhByName.at("B"), 1.0 / 60);

    auto sums = G::mutableAccumulation(accumulation);
    G::applyInterval(first, second, -1.0, sums);
    EXPECT_NEAR(sums.totalWh, 0, 1e-15);
    EXPECT_NEAR(sums.sampleHours, 0, 1e-15);
    EXPECT_NEAR(sums.appWhByName.at("A"), 0, 1e-15);

    second.onBatteryPower.reset();
    first.onBatteryPower = true;
    const std::vector<PreparedSnapshot> inherited{first, second};
    EXPECT_DOUBLE_EQ(G::accumulateIntervals(inherited).batteryWh, 0.25);
}

TEST(GraphBuildEngine, RateOfChangeIsClampedToFourWattsOrOnePointEightPerSecond) {
    const std::pair<double, double> cases[] = {{2, 9}, {10, 23}, {0.5, 9}, {60, 50}};
    for (const auto& [dt, expected] : cases) {
        const auto clamped = G::clampRateOfChange({point(0, 5), point(dt, 50)});
        EXPECT_DOUBLE_EQ(clamped[1].totalW, expected) << dt;
    }
    auto withSplit = point(0, 10);
    withSplit.processW = 3;
    auto dropout = point(5, 10);
    dropout.processW = 0.001;
    EXPECT_DOUBLE_EQ(G::clampRateOfChange({withSplit, dropout})[1].processW, 3);
}

TEST(GraphBuildEngine, OnePointDipsAreReplacedBeforeTheMedianFilter) {
    const auto replaced = G::replaceTransientDips({point(0, 20), point(1, 0.5), point(2, 20)});
    EXPECT_DOUBLE_EQ(replaced[1].totalW, 20);
    EXPECT_EQ(replaced[1].timestamp, at(1));
    const auto kept = G::replaceTransientDips({point(0, 20), point(1, 0.5), point(2, 9)});
    EXPECT_DOUBLE_EQ(kept[1].totalW, 0.5);

    const auto filtered =
        G::medianFilter({point(0, 1), point(1, 9), point(2, 2), point(3, 8), point(4, 3)}, 5);
    const double expected[] = {2, 5, 3, 5.5, 3};
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_DOUBLE_EQ(filtered[i].totalW, expected[i]) << i;
    EXPECT_DOUBLE_EQ(G::median({}), 0);
}

TEST(GraphBuildEngine, DownsampleKeepsTheExactEndsWithinTheLimit) {
    std::vector<PowerTrendPoint> points;
    for (int i = 0; i < 1000; ++i)
        points.push_back(point(i, i, i));
    const auto reduced = G::downsample(points, 100);
    EXPECT_LE(reduced.size(), 101u);
    EXPECT_EQ(reduced.front(), points.front());
    EXPECT_EQ(reduced.back(), points.back());
    // Every other bucket of 10 remains: bucket 2 is the mean of points 20 … 29 at point 25.
    EXPECT_EQ(reduced[1].id, 25);
    EXPECT_DOUBLE_EQ(reduced[1].totalW, 24.5);
    EXPECT_EQ(G::downsample(std::span(points).first(100), 100).size(), 100u);
}

TEST(GraphBuildEngine, EnergyTrendIntegratesTheSmoothedTotal) {
    std::vector<PowerTrendPoint> trend{point(0, 10), point(30, 20), point(1830, 20)};
    trend[2].onBatteryPower = true;
    const auto energy = G::buildEnergyTrend(trend);
    EXPECT_DOUBLE_EQ(energy[1].totalWh, 30.0 / 3600 * 15);
    EXPECT_DOUBLE_EQ(energy[2].totalWh - energy[1].totalWh, 60.0 / 3600 * 20);
    EXPECT_DOUBLE_EQ(energy[2].batteryWh, 60.0 / 3600 * 20);
    EXPECT_EQ(G::downsampleEnergyTrend(energy, 2).size(), 2u);
}

TEST(GraphBuildEngine, DrainRateNeedsMoreThanAHundredthOfAnHour) {
    struct Case {
        std::vector<PreparedSnapshot> history;
        std::optional<double> rate;
    };
    const Case cases[] = {
        {{prepared(0, 5, 80), prepared(1800, 5, 79)}, -2.0},
        {{prepared(0, 5, 80), prepared(20, 5, 79)}, std::nullopt},
        {{prepared(0, 5, 100), prepared(7200, 5, 90)}, -5.0},
        // The last 900 s hold two readings: only they count.
        {{prepared(0, 5, 100), prepared(6300, 5, 92), prepared(7200, 5, 91)}, -4.0},
        {{prepared(0, 5, 80)}, std::nullopt},
    };
    for (const auto& [history, rate] : cases) {
        const auto got = G::calculateDrainRate(history);
        ASSERT_EQ(got.has_value(), rate.has_value());
        if (rate) {
            EXPECT_NEAR(*got, *rate, 1e-9);
        }
    }
}

TEST(GraphBuildEngine, NearDuplicatesKeepTheBetterSnapshotOrTheLaterOnEqualQuality) {
    struct Case {
        std::vector<DrainSnapshot> source;
        std::vector<double> keptTotals;
    };
    const Case cases[] = {
        {{snapshot(0, 10, 5), snapshot(0.3, 10, 0)}, {10}},
        {{snapshot(0, 10, 0), snapshot(0.3, 11, 0)}, {11}},
        {{snapshot(0, 10, 5), snapshot(0.3, 8, 5)}, {8}},
        {{snapshot(5, 1, 0), snapshot(0, 2, 0), snapshot(0.6, 3, 0)}, {2, 3, 1}},
        {{}, {}},
    };
    for (const auto& [source, keptTotals] : cases) {
        const auto kept = G::normalizedHistory(source);
        std::vector<double> totals;
        for (const auto& s : kept)
            totals.push_back(s.totalDischargeW);
        EXPECT_EQ(totals, keptTotals);
    }
    EXPECT_DOUBLE_EQ(G::snapshotQuality(snapshot(0, 10, 5)), 1.5);
    EXPECT_DOUBLE_EQ(G::snapshotQuality(snapshot(0, 0, 0.04)), 0.4);
}

TEST(GraphBuildEngine, TrackerWattsSumTheMonitorsOwnNonNegativeDrains) {
    const DrainSnapshot withTrackers{
        .processes = {{.name = "/opt/JOULIX/bin/x", .drainW = 2},
                      {.name = "agent", .bundleID = "Com.Example.A", .drainW = 3},
                      {.name = "joulix-helper", .drainW = -1},
                      {.name = "other", .drainW = 5}}};
    EXPECT_DOUBLE_EQ(G::trackerDrainWatts(withTrackers, "com.example"), 5);
    EXPECT_DOUBLE_EQ(G::trackerDrainWatts(withTrackers, ""), 2);
}

TEST(GraphBuildEngine, ApplicationTrendsRankByEnergyAndSmoothByAQuarter) {
    EXPECT_EQ(G::topAppNames({{"B", 2}, {"A", 2}, {"C", 5}}, 2),
              (std::vector<std::string>{"C", "A"}));
    auto a = prepared(0, 1);
    auto b = prepared(10, 1);
    auto c = prepared(100, 1);
    a.appWattsByName = {{"A", 4}};
    b.appWattsByName = {{"A", 8}};
    const std::vector<PreparedSnapshot> history{a, b, c};
    const std::vector<std::string> apps{"A"};
    const auto power = G::buildAppPowerTrend(history, 100, apps);
    ASSERT_EQ(power.size(), 3u);
    EXPECT_EQ(power[1].id, "1-A");
    EXPECT_DOUBLE_EQ(power[1].watts, 5);
    EXPECT_DOUBLE_EQ(power[2].watts, 3.75);
    const auto energy = G::buildAppEnergyTrend(history, 100, apps);
    EXPECT_EQ(energy[2].id, "2-e-A");
    EXPECT_DOUBLE_EQ(energy[2].watts, 10.0 / 3600 * 6 + 60.0 / 3600 * 4);

    const auto series = G::chartSeries(power, at(100));
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].id, "a");
    EXPECT_FLOAT_EQ(series[0].points[0].xOffset, -100);
}

TEST(GraphBuildEngine, ComponentAveragesFallBackToTheSelectedSnapshot) {
    const std::vector<PreparedSnapshot> pair{prepared(0, 10), prepared(120, 20)};
    const auto averaged =
        G::buildComponentAverages(pair, pair[1].snapshot, G::accumulateIntervals(pair));
    EXPECT_DOUBLE_EQ(averaged.totalW, 15);
    DrainSnapshot selected = snapshot(0, 7, 3);
    selected.components.cpuW = 2;
    const auto instant = G::buildComponentAverages({}, selected, {});
    EXPECT_DOUBLE_EQ(instant.totalW, 7);
    EXPECT_DOUBLE_EQ(instant.processW, 3);
    EXPECT_DOUBLE_EQ(instant.cpuW, 2);
}

TEST(GraphBuildEngine, BatteryTrendStepsThroughTheSnapshotsWithALevel) {
    std::vector<PreparedSnapshot> history;
    for (int i = 0; i < 10; ++i)
        history.push_back(prepared(i, 1, i % 2 ? std::optional(50.0 - i) : std::nullopt));
    const auto trend = G::buildBatteryLevelTrend(history, 2);
    std::vector<int64_t> ids;
    for (const auto& point : trend)
        ids.push_back(point.id);
    EXPECT_EQ(ids, (std::vector<int64_t>{1, 5, 9}));
    EXPECT_DOUBLE_EQ(trend.back().levelPercent, 41);
}
