#include "SharedModels/Presentation/DetailsDataPipeline.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "Storage/SQLiteSnapshotStore.h"

#include "../SharedModels/HistoryGenerator.h"
#include "StoreTestSupport.h"
#include "tests/Platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <optional>

using namespace joulix;
namespace PAS = joulix::ProcessAttributionPresentationService;

namespace {

class DetailsReadModelTest : public ::testing::Test {
  protected:
    void SetUp() override { reopen(); }
    // A new, empty history in a folder of its own (each case of a table starts with one).
    void reopen() {
        store_.reset();
        directory_.emplace();
        store_ = std::make_unique<SQLiteSnapshotStore>(path(),
                                                       SQLiteSnapshotStore::Mode::readWriteCreate);
    }
    std::string path() const { return (directory_->path() / "history.sqlite").string(); }

    std::optional<joulix::testing::TemporaryDirectory> directory_;
    std::unique_ptr<SQLiteSnapshotStore> store_;
};

void expectRelative(double a, double b, const std::string& what) {
    EXPECT_NEAR(a, b, 1e-6 * std::max({1e-9, std::abs(a), std::abs(b)})) << what;
}

// Snapshots as the monitor publishes them: every process named and keyed.
std::vector<DrainSnapshot> annotatedHistory(unsigned seed, int count) {
    joulix::testing::HistoryGenerator generator(seed, 12, true);
    auto history = generator.history(count);
    const auto context = PAS::makeLatestOnlyPresentationContext(history);
    for (auto& snapshot : history)
        snapshot = PAS::annotateSnapshot(snapshot, context);
    return history;
}

}  // namespace

TEST_F(DetailsReadModelTest, TheDatabaseAgreesWithTheInMemoryPipeline) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        reopen();
        const auto history = annotatedHistory(seed, 150);
        for (const auto& snapshot : history)
            store_->insert(snapshot);
        const double window = 900;
        const auto stored = store_->fetchDetailsReadModel(window, 6, std::nullopt, {});
        const auto memory = DetailsDataPipeline::rebuild(history, {}, window, 1000);

        EXPECT_EQ(stored.snapshotCount, memory.snapshotCount);
        EXPECT_EQ(stored.windowStart, memory.windowStart);
        EXPECT_EQ(stored.windowEnd, memory.windowEnd);
        expectRelative(stored.energySummary.totalWh, memory.energySummary.totalWh, "total");
        // Battery energy differs by design: the store counts an interval on battery by its
        // later snapshot's flag, the pipeline when either snapshot was on battery.
        expectRelative(stored.energySummary.trackerWh, memory.energySummary.trackerWh, "tracker");
        expectRelative(stored.energySummary.trackedHours, memory.energySummary.trackedHours,
                       "tracked");
        const auto& s = stored.componentAverages;
        const auto& m = memory.componentAverages;
        expectRelative(s.totalW, m.totalW, "total W");
        expectRelative(s.processW, m.processW, "process W");
        expectRelative(s.screenW, m.screenW, "screen W");
        expectRelative(s.usbW, m.usbW, "USB W");
        expectRelative(s.unattributedW, m.unattributedW, "unattributed W");

        std::map<std::string, double> storedWhByName;
        for (const auto& group : stored.processGroups)
            storedWhByName[group.canonicalName] += group.totalEnergyWh;
        ASSERT_FALSE(memory.processGroups.empty());
        for (const auto& group : memory.processGroups)
            expectRelative(storedWhByName[group.canonicalName], group.totalEnergyWh,
                           group.canonicalName);
    }
}

TEST_F(DetailsReadModelTest, AnEmptyDatabaseGivesTheEmptyOutputAroundTheFallback) {
    const DrainSnapshot fallback{.timestamp = Date{100}, .totalDischargeW = 4};
    EXPECT_EQ(store_->fetchDetailsReadModel(3600, 6, std::nullopt, fallback),
              DetailsDataPipeline::cancelledOutput(fallback));
}

TEST_F(DetailsReadModelTest, GroupsMissingFromTheNewestSnapshotGetAStableSyntheticPID) {
    auto first = joulix::testing::publishedSnapshot(1'700'000'000, 2);
    auto second = joulix::testing::publishedSnapshot(1'700'000'005, 1);
    store_->insert(first);
    store_->insert(second);
    const auto details = store_->fetchDetailsReadModel(3600, 0, std::nullopt, {});
    EXPECT_TRUE(details.appPowerSeries.empty());
    EXPECT_EQ(details.snapshotCount, 2);
    const auto missing =
        std::find_if(details.processGroups.begin(), details.processGroups.end(),
                     [](const ProcessGroup& group) { return group.canonicalName == "worker1"; });
    ASSERT_NE(missing, details.processGroups.end());
    EXPECT_EQ(missing->iconProcess.pid, PAS::stableSyntheticPID("group.worker1"));
    EXPECT_EQ(store_->fetchDetailsReadModel(3600, 0, std::nullopt, {}).processGroups,
              details.processGroups);
    EXPECT_EQ(details.hiddenDrains, second.hidden);
    EXPECT_DOUBLE_EQ(details.hiddenTotalWhByID.at("docker_container-web"), 5.0 / 3600 * 0.5);
    const auto series = store_->fetchDetailsReadModel(3600, 1, std::nullopt, {}).appPowerSeries;
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].points.size(), 2u);
}

// Group energies against hand-computed trapezoids: a group absent from a snapshot draws 0 W
// there, two snapshots that share a timestamp stay two samples joined by a zero interval, and
// snapshots stored newest first (ids against time, as after a clock set back) count in time order.
TEST_F(DetailsReadModelTest, GroupEnergyCountsMissingGroupsAsZeroAndKeepsEqualTimestampsApart) {
    struct Case {
        const char* name;
        std::vector<int> processCounts;  // per snapshot, 5 s apart
        bool lastTwoShareATimestamp;
        double worker0Wh, worker1Wh;
        bool storedNewestFirst = false;
    };
    const double h = 1.0 / 3600;
    for (const auto& c : {
             // worker0 draws 1 W while worker1 is present, else 0.5 W; worker1 draws 0.5 W.
             Case{"every other", {2, 1, 2}, false, (0.75 + 0.75) * 5 * h, (0.25 + 0.25) * 5 * h},
             Case{"gone at the end", {2, 2, 1}, false, (1 + 0.75) * 5 * h, (0.5 + 0.25) * 5 * h},
             Case{"equal timestamps", {2, 2, 2, 2}, true, 1 * 10 * h, 0.5 * 10 * h},
             Case{"newest first",
                  {2, 1, 2, 2},
                  false,
                  (0.75 + 0.75 + 1) * 5 * h,
                  (0.25 + 0.25 + 0.5) * 5 * h,
                  true},
         }) {
        SCOPED_TRACE(c.name);
        reopen();
        for (std::size_t n = 0; n < c.processCounts.size(); ++n) {
            const std::size_t i = c.storedNewestFirst ? c.processCounts.size() - 1 - n : n;
            store_->insert(joulix::testing::publishedSnapshot(1'700'000'000 + 5.0 * double(i),
                                                              c.processCounts[i]));
        }
        if (c.lastTwoShareATimestamp) {
            // The store merges near duplicates itself; another writer may not.
            joulix::testing::RawConnection(path()).execute(
                "UPDATE snapshots SET timestamp = timestamp - 5 "
                "WHERE id = (SELECT MAX(id) FROM snapshots);");
        }
        const auto details = store_->fetchDetailsReadModel(3600, 6, std::nullopt, {});
        std::map<std::string, double> whByName;
        for (const auto& group : details.processGroups)
            whByName[group.canonicalName] = group.totalEnergyWh;
        expectRelative(whByName["worker0"], c.worker0Wh, "worker0");
        expectRelative(whByName["worker1"], c.worker1Wh, "worker1");
        // Each group's energy series ends at the same sum.
        for (const auto& series : details.appEnergySeries)
            EXPECT_NEAR(series.points.back().y, whByName[series.label], 1e-7) << series.label;
        // A file of an earlier build, without the covering index, reads the same.
        joulix::testing::RawConnection(path()).execute(
            "DROP INDEX idx_process_samples_snapshot_group_drain;");
        const auto withoutIndex = store_->fetchDetailsReadModel(3600, 6, std::nullopt, {});
        ASSERT_EQ(withoutIndex.processGroups.size(), details.processGroups.size());
        for (std::size_t i = 0; i < details.processGroups.size(); ++i) {
            EXPECT_EQ(withoutIndex.processGroups[i].canonicalName,
                      details.processGroups[i].canonicalName);
            expectRelative(withoutIndex.processGroups[i].totalEnergyWh,
                           details.processGroups[i].totalEnergyWh, "without the index");
        }
    }
}

// A long window keeps at most a few thousand points per series, bucket means between the exact
// first and last points, so that the output stays small over a month.
TEST_F(DetailsReadModelTest, LongWindowsKeepAFewThousandChartPointsWithTheExactEnds) {
    for (int i = 0; i < 2100; ++i) {
        auto snapshot = joulix::testing::publishedSnapshot(1'700'000'000 + 5.0 * i, 1, 10 + i % 7);
        snapshot.processes[0].drainW = i % 2 ? 2 : 0;  // alternating: buckets of two average 1 W
        store_->insert(snapshot);
    }
    const auto details = store_->fetchDetailsReadModel(30 * 86400.0, 6, std::nullopt, {});
    ASSERT_EQ(details.snapshotCount, 2100);
    for (const auto* points : {&details.systemPowerPoints, &details.batteryLevelPoints,
                               &details.appPowerSeries.at(0).points}) {
        EXPECT_LE(points->size(), 2000u);
        EXPECT_GE(points->size(), 1000u);  // buckets of two
        EXPECT_EQ(points->front().timestamp, Date::fromTimeIntervalSince1970(1'700'000'000));
        EXPECT_EQ(points->back().timestamp,
                  Date::fromTimeIntervalSince1970(1'700'000'000 + 5.0 * 2099));
    }
    const auto& power = details.appPowerSeries.at(0).points;
    EXPECT_FLOAT_EQ(power[power.size() / 2].y, 1.0f);
    EXPECT_NEAR(details.appEnergySeries.at(0).points.back().y,
                details.processGroups.at(0).totalEnergyWh, 1e-6);
}
