#include "SharedModels/Presentation/CachedDetailsPipelineEngine.h"

#include "HistoryGenerator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

using namespace joulix;
namespace G = joulix::GraphBuildEngine;

namespace {

void expectNear(double a, double b, const std::string& what) {
    EXPECT_NEAR(a, b, 1e-9 * std::max({1.0, std::abs(a), std::abs(b)})) << what;
}

void expectSamePoints(const std::vector<ChartPoint>& a, const std::vector<ChartPoint>& b,
                      const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].timestamp, b[i].timestamp) << what << " " << i;
        EXPECT_FLOAT_EQ(a[i].xOffset, b[i].xOffset) << what << " " << i;
        EXPECT_NEAR(a[i].y, b[i].y, 1e-5f * std::max(1.0f, std::abs(a[i].y))) << what << " " << i;
    }
}

void expectSameSeries(const std::vector<ChartSeries>& a, const std::vector<ChartSeries>& b,
                      const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].id, b[i].id) << what;
        EXPECT_EQ(a[i].label, b[i].label) << what;
        expectSamePoints(a[i].points, b[i].points, what + " " + a[i].id);
    }
}

// Field by field, energies within 1e-9 relative; the metrics are timings and differ.
void expectSameOutput(const DetailsPipelineOutput& a, const DetailsPipelineOutput& b) {
    expectSamePoints(a.systemPowerPoints, b.systemPowerPoints, "system");
    expectSamePoints(a.processPowerPoints, b.processPowerPoints, "process");
    expectSamePoints(a.componentPowerPoints, b.componentPowerPoints, "component");
    expectSamePoints(a.unattributedPowerPoints, b.unattributedPowerPoints, "unattributed");
    expectSamePoints(a.batteryLevelPoints, b.batteryLevelPoints, "battery");
    EXPECT_EQ(a.onBatteryPower, b.onBatteryPower);
    ASSERT_EQ(a.batteryDrainRatePerHour.has_value(), b.batteryDrainRatePerHour.has_value());
    if (a.batteryDrainRatePerHour) {
        expectNear(*a.batteryDrainRatePerHour, *b.batteryDrainRatePerHour, "drain rate");
    }
    expectSameSeries(a.appPowerSeries, b.appPowerSeries, "app power");
    expectSameSeries(a.appEnergySeries, b.appEnergySeries, "app energy");
    ASSERT_EQ(a.processGroups.size(), b.processGroups.size());
    for (std::size_t i = 0; i < a.processGroups.size(); ++i) {
        const auto& x = a.processGroups[i];
        const auto& y = b.processGroups[i];
        EXPECT_EQ(x.id, y.id);
        EXPECT_EQ(x.canonicalName, y.canonicalName);
        EXPECT_EQ(x.iconProcess, y.iconProcess);
        EXPECT_EQ(x.processes, y.processes);
        expectNear(x.totalDrainW, y.totalDrainW, "group drain " + x.id);
        expectNear(x.totalEnergyWh, y.totalEnergyWh, "group energy " + x.id);
    }
    ASSERT_EQ(a.hiddenDrains.size(), b.hiddenDrains.size());
    for (std::size_t i = 0; i < a.hiddenDrains.size(); ++i) {
        EXPECT_EQ(a.hiddenDrains[i].id(), b.hiddenDrains[i].id());
        expectNear(a.hiddenDrains[i].drainW, b.hiddenDrains[i].drainW, "hidden drain");
    }
    ASSERT_EQ(a.hiddenTotalWhByID.size(), b.hiddenTotalWhByID.size());
    for (const auto& [id, wh] : a.hiddenTotalWhByID)
        expectNear(wh, b.hiddenTotalWhByID.at(id), id);
    const auto& p = a.componentAverages;
    const auto& q = b.componentAverages;
    for (const auto& [x, y] : {std::pair{p.totalW, q.totalW},
                               {p.processW, q.processW},
                               {p.screenW, q.screenW},
                               {p.usbW, q.usbW},
                               {p.unattributedW, q.unattributedW},
                               {p.cpuW, q.cpuW}}) {
        expectNear(x, y, "component average");
    }
    expectNear(a.energySummary.totalWh, b.energySummary.totalWh, "total Wh");
    expectNear(a.energySummary.batteryWh, b.energySummary.batteryWh, "battery Wh");
    expectNear(a.energySummary.trackerWh, b.energySummary.trackerWh, "tracker Wh");
    expectNear(a.energySummary.trackedHours, b.energySummary.trackedHours, "tracked hours");
    EXPECT_EQ(a.rangeSnapshot, b.rangeSnapshot);
    EXPECT_EQ(a.snapshotCount, b.snapshotCount);
    EXPECT_EQ(a.windowStart, b.windowStart);
    EXPECT_EQ(a.windowEnd, b.windowEnd);
}

DetailsPipelineOutput fromScratch(const std::vector<DrainSnapshot>& source,
                                  const GraphPeriodSpec& period) {
    return G::rebuildDetailsOutput(source, {}, period, nullptr, std::nullopt);
}

const GraphPeriodSpec tenMinutes{"10m", 600, 40};

}  // namespace

TEST(CachedDetailsPipelineEngine, EveryCachedBuildEqualsABuildFromScratch) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        joulix::testing::HistoryGenerator generator(seed);
        CachedDetailsPipelineEngine engine;
        auto source = generator.history(60);
        GraphPeriodSpec period = tenMinutes;
        for (int step = 0; step < 40; ++step) {
            const int operation = generator.pick(10);
            if (operation < 6) {
                const int count = 1 + generator.pick(3);
                for (int i = 0; i < count; ++i)
                    source.push_back(generator.next(generator.gap()));
            } else if (operation == 6) {
                source.push_back(generator.next(0.2));  // replaces or is dropped
            } else if (operation == 7) {
                period = GraphPeriodSpec{"w", 300.0 + generator.pick(4) * 300,
                                         30 + generator.pick(3) * 10};
            } else if (operation == 8 && source.size() > 10) {
                source.erase(source.begin(), source.begin() + 1 + generator.pick(3));
            }
            const auto cached = engine.rebuild(source, {}, period);
            expectSameOutput(cached, fromScratch(source, period));
            if (::testing::Test::HasFailure()) return;
        }
    }
}

TEST(CachedDetailsPipelineEngine, OnlyAChangedPeriodOrAPurgedStartForcesAFullPreparation) {
    joulix::testing::HistoryGenerator generator(42);
    CachedDetailsPipelineEngine engine;
    auto source = generator.history(80);
    engine.rebuild(source, {}, tenMinutes);
    ASSERT_EQ(engine.fullPreparationCount(), 1);
    engine.rebuild(source, {}, tenMinutes);
    EXPECT_EQ(engine.fullPreparationCount(), 1);  // the same source is reused as it is
    source.push_back(generator.next(5));
    engine.rebuild(source, {}, tenMinutes);
    EXPECT_EQ(engine.fullPreparationCount(), 1);

    auto morePoints = tenMinutes;
    morePoints.graphMaxPoints = 41;
    engine.rebuild(source, {}, morePoints);
    EXPECT_EQ(engine.fullPreparationCount(), 2);
    source.erase(source.begin());
    const auto afterPurge = engine.rebuild(source, {}, morePoints);
    EXPECT_EQ(engine.fullPreparationCount(), 3);
    expectSameOutput(afterPurge, fromScratch(source, morePoints));
}

TEST(CachedDetailsPipelineEngine, ACancelledBuildReturnsTheCancelledOutputAndStoresNothing) {
    joulix::testing::HistoryGenerator generator(7);
    CachedDetailsPipelineEngine engine;
    auto source = generator.history(200);
    const DrainSnapshot fallback{.timestamp = Date{5}, .totalDischargeW = 3};
    engine.rebuild(source, fallback, tenMinutes);

    std::stop_source stopped;
    stopped.request_stop();
    source.push_back(generator.next(5));
    EXPECT_EQ(engine.rebuild(source, fallback, tenMinutes, std::nullopt, stopped.get_token()),
              G::cancelledDetailsOutput(fallback));
    expectSameOutput(engine.rebuild(source, fallback, tenMinutes), fromScratch(source, tenMinutes));

    for (int round = 0; round < 8; ++round) {
        source.push_back(generator.next(5));
        std::stop_source stop;
        const int delayMicroseconds = generator.pick(400);
        std::jthread canceller([&stop, delayMicroseconds] {
            std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds));
            stop.request_stop();
        });
        const auto output =
            engine.rebuild(source, fallback, tenMinutes, std::nullopt, stop.get_token());
        canceller.join();
        if (output.snapshotCount == 0) {
            EXPECT_EQ(output, G::cancelledDetailsOutput(fallback));
        }
        source.push_back(generator.next(5));
        expectSameOutput(engine.rebuild(source, fallback, tenMinutes),
                         fromScratch(source, tenMinutes));
    }
}

TEST(GraphBuildPayload, ProcessTablesGroupTheSelectedSnapshotWithTheWindowsEnergy) {
    const auto at = [](double s) { return Date::fromTimeIntervalSince1970(1'700'000'000 + s); };
    const ProcessDrain app{
        .pid = 10, .name = "/Applications/Foo.app/Contents/MacOS/Foo", .drainW = 6};
    const ProcessDrain tool{.pid = 11, .name = "/usr/bin/tool", .drainW = 2};
    DrainSnapshot first{.timestamp = at(0), .totalDischargeW = 10, .processes = {app, tool}};
    first.hidden = {{HiddenDrainKind::dockerContainer, "db", 1}};
    DrainSnapshot second{.timestamp = at(60), .totalDischargeW = 10, .processes = {app}};
    second.hidden = {{HiddenDrainKind::dockerContainer, "db", 3}};
    const GraphBuildRequest request{{first, second}, {}, {"1h", 3600, 100}};
    const auto payload = G::rebuildPayload(request, nullptr, std::nullopt);

    ASSERT_EQ(payload.rangeProcesses.size(), 1u);
    EXPECT_EQ(payload.rangeProcesses[0].displayName, "Foo");
    EXPECT_DOUBLE_EQ(payload.processTotalWhByID.at(payload.rangeProcesses[0].id()), 0.1);
    ASSERT_EQ(payload.rangeHidden.size(), 1u);
    EXPECT_DOUBLE_EQ(payload.rangeHidden[0].drainW, 2);  // 2/60 Wh over 1/60 h
    EXPECT_DOUBLE_EQ(payload.hiddenTotalWhByID.at("docker_container-db"), 2.0 / 60);
    EXPECT_DOUBLE_EQ(payload.rangeEnergySummary.totalWh, 10.0 / 60);
    EXPECT_EQ(payload.appPowerTrend.size(), 4u);  // Foo and tool, at both snapshots
    EXPECT_EQ(payload.selectedRangeSnapshot, second);

    const auto cancelledPayload = [&] {
        std::stop_source stop;
        stop.request_stop();
        return G::rebuildPayload(request, nullptr, std::nullopt, stop.get_token());
    }();
    EXPECT_EQ(cancelledPayload, GraphBuildPayload{});
}

TEST(CachedDetailsPipelineEngine, AnIncrementalBuildKeepsSmallSumsItJustAdded) {
    joulix::testing::HistoryGenerator generator(7);
    CachedDetailsPipelineEngine engine;
    auto source = generator.history(60);
    engine.rebuild(source, {}, tenMinutes);
    auto next = generator.next(5);
    next.hidden.push_back({HiddenDrainKind::launchdService, "tiny", 1e-7});  // ~7e-11 Wh
    source.push_back(next);
    const auto cached = engine.rebuild(source, {}, tenMinutes);
    ASSERT_EQ(engine.fullPreparationCount(), 1);
    EXPECT_TRUE(cached.hiddenTotalWhByID.contains("launchd_service-tiny"));
    expectSameOutput(cached, fromScratch(source, tenMinutes));
}
