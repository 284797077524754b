#include "SharedModels/Presentation/DetailsAggregation.h"

#include <gtest/gtest.h>

using namespace joulix;
namespace P = joulix::DetailsDataPipeline;

namespace {

Date at(double seconds) {
    return Date::fromTimeIntervalSince1970(1'700'000'000 + seconds);
}

DrainSnapshot snapshot(double seconds, double totalW, std::vector<ProcessDrain> processes = {},
                       std::optional<double> level = {}) {
    DrainSnapshot s{
        .timestamp = at(seconds), .totalDischargeW = totalW, .processes = std::move(processes)};
    if (level)
        s.powerContext = PowerUsageContext{.onBatteryPower = true, .batteryLevelPercent = level};
    return s;
}

ProcessDrain process(int64_t pid, std::string app, double watts) {
    return {.pid = pid,
            .name = "p" + std::to_string(pid),
            .canonicalName = std::move(app),
            .drainW = watts};
}

const P::AppGroupNamer byCanonicalName = [](const ProcessDrain& p) {
    return p.canonicalName.value_or(p.name);
};

P::AggregationResult aggregated(const std::vector<DrainSnapshot>& windowed) {
    return P::aggregate(windowed, byCanonicalName);
}

}  // namespace

TEST(DetailsAggregation, AnEmptySourceGivesTheFallbackAsTheOnlySnapshot) {
    const auto fallback = snapshot(50, 7);
    const auto windowed = P::windowFilter({}, fallback, 3600);
    ASSERT_EQ(windowed, std::vector{fallback});
    const auto output = P::buildOutput(aggregated(windowed), windowed, fallback, 100);
    EXPECT_EQ(output.snapshotCount, 1);
    EXPECT_EQ(output.rangeSnapshot, fallback);
    EXPECT_EQ(output.energySummary, EnergyUsageSummary{});
    EXPECT_DOUBLE_EQ(output.componentAverages.totalW, 7);
    EXPECT_EQ(output.windowStart, at(50));
}

TEST(DetailsAggregation, TheWindowKeepsTheLastSecondsBeforeTheNewestSnapshot) {
    std::vector<DrainSnapshot> source;
    for (int i = 7200; i >= 0; i -= 60)
        source.push_back(snapshot(i, 1));
    source.push_back(snapshot(7199.8, 1));  // near duplicate of the newest, equal quality
    const auto windowed = P::windowFilter(source, {}, 600);
    ASSERT_EQ(windowed.size(), 11u);
    EXPECT_EQ(windowed.front().timestamp, at(6600));
    EXPECT_EQ(windowed.back().timestamp, at(7200));
}

TEST(DetailsAggregation, GapsCountOneMinuteAndAMissingGroupCountsZeroWatts) {
    auto first = snapshot(0, 10, {process(1, "A", 4), process(2, "B", 2)});
    auto second = snapshot(1800, 10, {process(1, "A", 6), process(3, "C", 1)});
    first.hidden = {{HiddenDrainKind::launchdService, "sync", 2}};
    second.hidden = {{HiddenDrainKind::launchdService, "sync", 4}};
    const std::vector windowed{first, second};
    const auto result = aggregated(windowed);
    EXPECT_NEAR(result.totalWh, 0.1667, 1e-4);
    EXPECT_DOUBLE_EQ(result.sampleHours, 1.0 / 60);
    EXPECT_EQ(result.appGroupNames, (std::vector<std::string>{"A", "B", "C"}));
    // B and C are each in one snapshot: their means are 1 W and 0.5 W, as their energy series.
    EXPECT_EQ(result.appWhByIndex, (std::vector<double>{5.0 / 60, 1.0 / 60, 0.5 / 60}));
    EXPECT_DOUBLE_EQ(result.hiddenWhByID.at("launchd_service-sync"), 3.0 / 60);
    EXPECT_DOUBLE_EQ(result.latestHiddenByID.at("launchd_service-sync").drainW, 4);

    const auto output = P::buildOutput(result, windowed, {}, 100);
    EXPECT_NEAR(output.energySummary.trackedHours, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(output.componentAverages.totalW, 10);
    ASSERT_EQ(output.appPowerSeries.size(), 3u);
    EXPECT_EQ(output.appPowerSeries[0].label, "A");
    EXPECT_EQ(output.appPowerSeries[0].id, "a");
    EXPECT_FLOAT_EQ(output.appPowerSeries[0].points[1].y, 0.25f * 6 + 0.75f * 4);
    EXPECT_FLOAT_EQ(output.appPowerSeries[0].points[0].xOffset, -1800);
    EXPECT_FLOAT_EQ(output.appEnergySeries[0].points[1].y, 5.0f / 60);
    EXPECT_FLOAT_EQ(output.appEnergySeries[1].points[1].y, 1.0f / 60);  // B alone: mean 1 W
}

TEST(DetailsAggregation, AnIntervalCountsOnBatteryWhenEitherSnapshotWas) {
    struct Case {
        std::optional<bool> first, second;
        double batteryWh;
    };
    for (const auto& [first, second, batteryWh] :
         {Case{true, false, 10.0 / 60}, Case{false, true, 10.0 / 60},
          Case{std::nullopt, true, 10.0 / 60}, Case{true, std::nullopt, 10.0 / 60},
          Case{false, std::nullopt, 0.0}, Case{false, false, 0.0}}) {
        std::vector windowed{snapshot(0, 10), snapshot(60, 10)};
        if (first) windowed[0].powerContext = PowerUsageContext{.onBatteryPower = *first};
        if (second) windowed[1].powerContext = PowerUsageContext{.onBatteryPower = *second};
        EXPECT_DOUBLE_EQ(aggregated(windowed).batteryWh, batteryWh)
            << first.value_or(2) << " " << second.value_or(2);
    }
}

TEST(DetailsAggregation, DrainRateUsesTheRecentLevelsWhenThereAreTwo) {
    struct Case {
        std::vector<DrainSnapshot> windowed;
        std::optional<double> rate;
    };
    const Case cases[] = {
        {{snapshot(0, 1, {}, 100), snapshot(3600, 1), snapshot(7200, 1, {}, 90)}, -5.0},
        {{snapshot(0, 1, {}, 100), snapshot(6600, 1, {}, 92), snapshot(7200, 1, {}, 91)}, -6.0},
        {{snapshot(0, 1, {}, 100), snapshot(20, 1, {}, 99)}, std::nullopt},
        {{snapshot(0, 1), snapshot(7200, 1)}, std::nullopt},
    };
    for (const auto& [windowed, rate] : cases) {
        const auto output = P::buildOutput(aggregated(windowed), windowed, {}, 100);
        ASSERT_EQ(output.batteryDrainRatePerHour.has_value(), rate.has_value());
        if (rate) {
            EXPECT_NEAR(*output.batteryDrainRatePerHour, *rate, 1e-9);
        }
    }
}

TEST(DetailsAggregation, ChartsAreSmoothedWithoutExponentialSmoothingAndStrided) {
    std::vector<DrainSnapshot> windowed;
    for (int i = 0; i < 10; ++i)
        windowed.push_back(snapshot(i * 5, i == 5 ? 0.5 : 20));
    const auto output = P::buildOutput(aggregated(windowed), windowed, {}, 4);
    // Stride 2, plus the last point.
    ASSERT_EQ(output.systemPowerPoints.size(), 6u);
    for (const auto& point : output.systemPowerPoints)
        EXPECT_FLOAT_EQ(point.y, 20);
    EXPECT_FLOAT_EQ(output.systemPowerPoints.back().xOffset, 0);
}

TEST(DetailsAggregation, StoredPresentationDataNeedsANameOnEveryProcess) {
    auto named = snapshot(0, 1, {process(1, "A", 1)});
    EXPECT_TRUE(P::hasStoredPresentationData({}));
    EXPECT_TRUE(P::hasStoredPresentationData(std::vector{named}));
    named.processes.push_back({.pid = 2, .name = "x", .displayName = " \n"});
    EXPECT_FALSE(P::hasStoredPresentationData(std::vector{named}));
}
