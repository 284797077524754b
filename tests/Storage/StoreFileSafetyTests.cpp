// Opening a history beside other users: the modes of what opening creates, the paths it refuses,
// figures that SQLite cannot store, equal timestamps, damaged pages, and reads that must not see a
// concurrent writer's work half done.
#include "SharedModels/SharedRoot.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace joulix {
namespace {

namespace fs = std::filesystem;
using Mode = SQLiteSnapshotStore::Mode;
using testing::modeOf;

class StoreFileSafety : public ::testing::Test {
  protected:
    const testing::TemporaryDirectory folder;
    const std::string path = (folder.path() / "h.sqlite").string();
};

// The shared history is made for every user whatever the umask (the private modes are checked
// where the store and the recorder create them).
TEST_F(StoreFileSafety, TheSharedHistoryIsMadeForAll) {
    const mode_t previousMask = ::umask(077);
    const fs::path sharedFolder = fs::path(sharedRoot()) / "case-modes" / "Joulix";
    const fs::path sharedPath = sharedFolder / "battery_history.sqlite";
    SQLiteSnapshotStore(sharedPath.string(), Mode::readWriteCreate);
    ::umask(previousMask);
    EXPECT_EQ(modeOf(sharedFolder.parent_path()), 01777u);
    EXPECT_EQ(modeOf(sharedFolder), 01777u);
    EXPECT_EQ(modeOf(sharedPath), 0666u);
}

TEST_F(StoreFileSafety, RefusesALinkAtTheFileOrItsFolderAndWhatIsNotAFile) {
    const fs::path victim = folder.path() / "victim/data.sqlite";
    {
        SQLiteSnapshotStore store(victim.string(), Mode::readWriteCreate);
        store.insert(testing::publishedSnapshot(1.7e9));
    }
    const std::string victimBytes = testing::readFile(victim);
    const mode_t victimMode = modeOf(victim);

    struct Case {
        const char* name;
        std::function<fs::path(const fs::path&)> plant;  // returns the path to open
        const char* said;
    };
    const Case cases[] = {
        {"link at the file",
         [&](const fs::path& at) {
             fs::create_directories(at);
             fs::create_symlink(victim, at / "h.sqlite");
             return at / "h.sqlite";
         },
         "is a symbolic link"},
        {"link at the folder",
         [&](const fs::path& at) {
             fs::create_symlink(victim.parent_path(), at);
             return at / "data.sqlite";
         },
         "is a symbolic link"},
        {"folder at the file",
         [&](const fs::path& at) {
             fs::create_directories(at / "h.sqlite");
             return at / "h.sqlite";
         },
         "is a folder"},
    };
    int index = 0;
    for (const Case& c : cases) {
        const fs::path planted = c.plant(folder.path() / ("case" + std::to_string(index++)));
        for (const Mode mode : {Mode::readWriteCreate, Mode::readOnly}) {
            const auto error = testing::thrown<SnapshotStoreFileError>(
                [&] { SQLiteSnapshotStore store(planted.string(), mode); });
            ASSERT_TRUE(error) << c.name << " was opened";
            EXPECT_NE(std::string(error->what()).find(c.said), std::string::npos) << error->what();
        }
    }
    EXPECT_EQ(testing::readFile(victim), victimBytes);
    EXPECT_EQ(modeOf(victim), victimMode);
    EXPECT_FALSE(fs::exists(victim.string() + "-wal"));
}

TEST_F(StoreFileSafety, ANaNDrainIsStoredAsZero) {
    SQLiteSnapshotStore store(path, Mode::readWriteCreate);
    DrainSnapshot snapshot = testing::publishedSnapshot(1.7e9);
    snapshot.processes[1].drainW = std::nan("");
    snapshot.processes[1].energyShare = std::nan("");
    ASSERT_EQ(store.insert(snapshot), SnapshotInsertOutcome::inserted);
    const auto stored = store.fetchLatest(1).front().processes;
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored.back().drainW, 0.0);
    EXPECT_EQ(stored.back().energyShare, 0.0);
}

// Two snapshots at one time (two recorders): which one counts as the earlier decides the
// trapezoids beside them, so every energy query takes the lower id first.
TEST_F(StoreFileSafety, EqualTimestampsGiveOneEnergyTotal) {
    SQLiteSnapshotStore(path, Mode::readWriteCreate);
    testing::RawConnection(path).execute(
        "INSERT INTO snapshots (id, timestamp, total_watts, process_total_w, tracker_total_w,"
        " components_screen_w, components_usb_w, unattributed_w) VALUES"
        " (1, 1000, 10, 0, 0, 0, 0, 0), (2, 1010, 20, 0, 0, 0, 0, 0),"
        " (3, 1010, 40, 0, 0, 0, 0, 0), (4, 1040, 10, 0, 0, 0, 0, 0);");
    SQLiteSnapshotStore store(path, Mode::readOnly);
    // 10 s at (10 + 20) / 2 W, 0 s between the pair, 30 s at (40 + 10) / 2 W.
    const double expectedWh = (10 * 15.0 + 30 * 25.0) / 3600;
    EXPECT_NEAR(store.fetchHistoryReadModel(100).energyUsageSummary.totalWh, expectedWh, 1e-12);
    const auto details = store.fetchDetailsReadModel(3600, 0, std::nullopt, DrainSnapshot{});
    EXPECT_NEAR(details.energySummary.totalWh, expectedWh, 1e-12);
}

TEST_F(StoreFileSafety, ADamagedPageFailsTheReadInsteadOfShorteningIt) {
    {
        SQLiteSnapshotStore store(path, Mode::readWriteCreate);
        for (int i = 0; i < 400; ++i)
            store.insert(testing::publishedSnapshot(1.7e9 + i, 10));
    }
    testing::RawConnection(path).execute("PRAGMA wal_checkpoint(TRUNCATE);");
    // Zeroes the second half of the file: the schema stays readable, the newest rows do not.
    const auto size = fs::file_size(path);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(size / 2));
        const std::string zeros(size - size / 2, '\0');
        file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    SQLiteSnapshotStore store(path, Mode::readOnly);
    EXPECT_THROW(store.fetchLatest(10000), SnapshotStoreError);
}

// A writer changes every snapshot at once and purges with VACUUM while a reader reads the same
// file again and again: each read sees the file before or after each change, never a mixture,
// and never fails.
TEST_F(StoreFileSafety, AReadTransactionSeesOneStateWhileAnotherConnectionWrites) {
    SQLiteSnapshotStore(path, Mode::readWriteCreate);
    testing::RawConnection(path).execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)"
        " INSERT INTO snapshots (id, timestamp, total_watts, process_total_w, tracker_total_w,"
        " components_screen_w, components_usb_w, unattributed_w)"
        " SELECT i, 1700000000 + i, 10, 0, 0, 0, 0, 0 FROM n;");

    std::atomic<bool> done = false;
    std::thread writer([&] {
        SQLiteSnapshotStore store(path, Mode::readWriteCreate);
        testing::RawConnection connection(path);
        for (int round = 0; round < 12; ++round) {
            connection.execute("UPDATE snapshots SET total_watts = total_watts + 1;");
            if (round == 6) store.purgeSnapshots(Date::fromTimeIntervalSince1970(1700005000.5));
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads < 3) {
        SQLiteSnapshotStore store(path, Mode::readOnly);
        store.beginRead();
        const auto model = store.fetchHistoryReadModel(10000);
        const auto details = store.fetchDetailsReadModel(1e9, 0, std::nullopt, DrainSnapshot{});
        store.endRead();
        ASSERT_FALSE(model.snapshots.empty());
        const double watts = model.snapshots.front().totalDischargeW;
        for (const DrainSnapshot& snapshot : model.snapshots)
            ASSERT_EQ(snapshot.totalDischargeW, watts) << "read " << reads;
        const auto count = static_cast<double>(model.snapshots.size());
        EXPECT_NEAR(model.energyUsageSummary.totalWh, watts * (count - 1) / 3600, 1e-9);
        EXPECT_NEAR(details.energySummary.totalWh, watts * (count - 1) / 3600, 1e-9);
        EXPECT_EQ(details.snapshotCount, static_cast<int64_t>(count));
        ++reads;
    }
    writer.join();
}

}  // namespace
}  // namespace joulix
