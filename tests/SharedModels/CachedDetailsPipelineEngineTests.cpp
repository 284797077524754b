#include "SharedModels/Presentation/CachedDetailsPipelineEngine.h"

#include "HistoryGenerator.h"
#include "SharedModels/SnapshotCodec.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <thread>

using namespace joulix;
namespace G = joulix::GraphBuildEngine;
using Json = nlohmann::json;

namespace {

// Equal but for rounding, compared through their JSON: numbers within 1e-9 relative (chart
// values are floats: 1e-5), times exact, the metrics (timings) left out.
void expectSameJSON(const Json& a, const Json& b, const std::string& path) {
    if (a.is_number() && b.is_number()) {
        const double x = a.get<double>(), y = b.get<double>();
        const bool isTime = path.ends_with("timestamp") || path.ends_with("windowStart") ||
                            path.ends_with("windowEnd");
        const bool isFloat = path.ends_with(".y") || path.ends_with(".xOffset");
        const double tolerance = isTime ? 0 : isFloat ? 1e-5 : 1e-9;
        EXPECT_NEAR(x, y, tolerance * std::max({1.0, std::abs(x), std::abs(y)})) << path;
    } else if (a.is_object() && b.is_object() && a.size() == b.size()) {
        for (const auto& [key, value] : a.items()) {
            if (key == "metrics") continue;
            ASSERT_TRUE(b.contains(key)) << path << "." << key;
            expectSameJSON(value, b[key], path + "." + key);
        }
    } else if (a.is_array() && b.is_array() && a.size() == b.size()) {
        for (std::size_t i = 0; i < a.size(); ++i)
            expectSameJSON(a[i], b[i], path + "[" + std::to_string(i) + "]");
    } else {
        EXPECT_EQ(a, b) << path;
    }
}

void expectSameOutput(const DetailsPipelineOutput& a, const DetailsPipelineOutput& b) {
    expectSameJSON(Json::parse(SnapshotCodec::encode(a)), Json::parse(SnapshotCodec::encode(b)),
                   "");
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
    auto next = generator.next(5);
    next.hidden.push_back({HiddenDrainKind::launchdService, "tiny", 1e-7});  // ~7e-11 Wh
    source.push_back(next);
    const auto appended = engine.rebuild(source, {}, tenMinutes);
    EXPECT_EQ(engine.fullPreparationCount(), 1);
    EXPECT_TRUE(appended.hiddenTotalWhByID.contains("launchd_service-tiny"));  // small sums kept
    expectSameOutput(appended, fromScratch(source, tenMinutes));

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
