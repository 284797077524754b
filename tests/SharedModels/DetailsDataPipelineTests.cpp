#include "SharedModels/Presentation/DetailsDataPipeline.h"

#include "SharedModels/ComponentProfileEvent.h"
#include "SharedModels/ComponentProfiler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace joulix;
namespace P = joulix::DetailsDataPipeline;

namespace {

Date at(double seconds) {
    return Date::fromTimeIntervalSince1970(1'700'000'000 + seconds);
}

ProcessDrain named(int64_t pid, const std::string& name, const std::string& app, double watts) {
    return {.pid = pid, .name = name, .displayName = app, .canonicalName = app, .drainW = watts};
}

std::vector<DrainSnapshot> twoSnapshots() {
    return {{.timestamp = at(0),
             .totalDischargeW = 10,
             .processes = {named(1, "a", "Editor", 3), named(2, "b", "Editor", 1),
                           named(3, "c", "Shell", 2)}},
            {.timestamp = at(60),
             .totalDischargeW = 10,
             .processes = {named(1, "a", "Editor", 5), named(2, "b", "Editor", 1),
                           named(3, "c", "Shell", 2)}}};
}

}  // namespace

TEST(DetailsDataPipeline, GroupsTheRangeSnapshotWithTheWindowsEnergy) {
    const auto output = P::rebuild(twoSnapshots(), {}, 3600, 100);
    ASSERT_EQ(output.processGroups.size(), 2u);
    const ProcessGroup& editor = output.processGroups[0];
    EXPECT_EQ(editor.canonicalName, "Editor");
    EXPECT_DOUBLE_EQ(editor.totalDrainW, 6);
    EXPECT_DOUBLE_EQ(editor.totalEnergyWh, 5.0 / 60);  // means 4 W and 1 W for one minute
    EXPECT_EQ(editor.processes.size(), 2u);
    EXPECT_DOUBLE_EQ(output.processGroups[1].totalEnergyWh, 2.0 / 60);
    EXPECT_EQ(output.snapshotCount, 2);
    EXPECT_GT(output.metrics.totalMs, 0);

    // The process summary groups by display name the same way.
    const auto summary = WindowedProcessSummaryBuilder::summarize(twoSnapshots(), {}, 3600);
    EXPECT_DOUBLE_EQ(summary.totalWh, 10.0 / 60);
    EXPECT_EQ(summary.groupedWhByName,
              (std::map<std::string, double>{{"Editor", 5.0 / 60}, {"Shell", 2.0 / 60}}));
    EXPECT_EQ(summary.processGroups, output.processGroups);
    EXPECT_EQ(summary.rangeSnapshot, twoSnapshots()[1]);
}

TEST(DetailsDataPipeline, StagesAreTimedInSpansWithTheNamingMode) {
    const auto trace = std::filesystem::temp_directory_path() /
                       ("jlx-details-spans-" + std::to_string(::getpid()) + ".jsonl");
    {
        ComponentProfiler profiler(BenchmarkProcessKind::app, "test", trace.string(), 0, 1, true);
        auto legacy = twoSnapshots();
        legacy[1].processes[2].displayName.reset();
        legacy[1].processes[2].canonicalName = " ";
        P::rebuild(legacy, {}, 3600, 100, GraphProfilingContext{&profiler, "c-1", "parent"});
        profiler.flush();
    }
    std::ifstream in(trace);
    std::vector<ComponentProfileEvent> events;
    for (std::string line; std::getline(in, line);) {
        events.push_back(ComponentProfileEvent::fromJSON(line));
    }
    std::filesystem::remove(trace);
    ASSERT_EQ(events.size(), 4u);
    const char* components[] = {"app.details.pipeline.windowFilter", "app.details.pipeline.naming",
                                "app.details.pipeline.aggregation",
                                "app.details.pipeline.chartBuild"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i].component, components[i]);
        EXPECT_EQ(events[i].correlationID, "c-1");
        EXPECT_EQ(events[i].parentComponent, "parent");
        EXPECT_EQ(events[i].context.at("uiThread"), "1");  // the test runs on the main thread
        EXPECT_EQ(events[i].sourceFunction,
                  "rebuild(sourceRaw:fallbackSnapshot:windowSeconds:maxChartPoints:profiling:)");
    }
    EXPECT_EQ(events[1].context.at("mode"), "legacy");
}

TEST(DetailsDataPipeline, ACancelledRebuildGivesTheCancelledOutput) {
    std::stop_source stop;
    stop.request_stop();
    const DrainSnapshot fallback{.timestamp = at(5)};
    EXPECT_EQ(P::rebuild(twoSnapshots(), fallback, 3600, 100, std::nullopt, stop.get_token()),
              (DetailsPipelineOutput{
                  .rangeSnapshot = fallback, .windowStart = at(5), .windowEnd = at(5)}));
}
