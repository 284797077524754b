#include "SharedModels/Presentation/DetailsDataPipeline.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "Storage/SQLiteSnapshotStore.h"

#include "../SharedModels/HistoryGenerator.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

using namespace joulix;
namespace PAS = joulix::ProcessAttributionPresentationService;

namespace {

class DetailsReadModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("joulix-details-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        store_ = std::make_unique<SQLiteSnapshotStore>((directory_ / "history.sqlite").string(),
                                                       SQLiteSnapshotStore::Mode::readWriteCreate);
    }
    void TearDown() override {
        store_.reset();
        std::filesystem::remove_all(directory_);
    }

    std::filesystem::path directory_;
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
        SetUp();
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
        expectRelative(stored.energySummary.batteryWh, memory.energySummary.batteryWh, "battery");
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
        for (const auto& group : stored.processGroups) {
            storedWhByName[group.canonicalName] += group.totalEnergyWh;
        }
        ASSERT_FALSE(memory.processGroups.empty());
        for (const auto& group : memory.processGroups) {
            expectRelative(storedWhByName[group.canonicalName], group.totalEnergyWh,
                           group.canonicalName);
        }
        TearDown();
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
