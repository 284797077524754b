// `joulix history` and `joulix details`, the two readers of a recorded history.
#include "RunJoulix.h"
#include "SharedModels/SnapshotCodec.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>

namespace joulix {
namespace {

namespace fs = std::filesystem;

// Every file of the directory with its bytes, to show that a run changed nothing.
std::map<std::string, std::string> contents(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(directory))
        files[entry.path().filename()] = testing::readFile(entry.path());
    return files;
}

class HistoryReadTest : public ::testing::Test {
  protected:
    // `count` snapshots of two processes `stepS` apart, of 10 W or, `rising`, 10, 20, 30 W...
    void fill(int count, double stepS, bool rising) {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        for (int i = 0; i < count; ++i)
            store.insert(
                testing::publishedSnapshot(1.7e9 + stepS * i, 2, rising ? 10 * (i + 1) : 10));
    }
    // `joulix <arguments>` in time zone `zone`, with its standard error.
    testing::CommandOutput joulix(const std::string& arguments, const std::string& zone = "UTC") {
        return testing::runCommand("TZ=" + zone + " " + testing::joulixPath + " " + arguments +
                                   " 2>&1");
    }

    testing::TemporaryDirectory directory;
    std::string database = directory.string() + "/history.sqlite";
};

TEST_F(HistoryReadTest, HistoryPrintsTheNewestSnapshotsAndTheirEnergyWithoutTouchingAFile) {
    fill(3, 60, true);
    const auto before = contents(directory.path());
    const auto table = joulix("history --db " + database + " --limit 2");
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("TIME (UTC)           TOTAL W  PROCESS W  BATTERY %  PROCESSES\n"
                                "2023-11-14 22:14:20    20.00       1.50       80.0          2\n"
                                "2023-11-14 22:15:20    30.00       1.50       80.0          2\n"),
              std::string::npos)
        << table.output;
    EXPECT_NE(table.output.find("Total          0.417  Wh\n"), std::string::npos) << table.output;

    const auto json = joulix("history --json --limit 2 --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    const auto model = nlohmann::json::parse(json.output);
    ASSERT_EQ(model["snapshots"].size(), 2u);
    EXPECT_EQ(SnapshotCodec::decode<DrainSnapshot>(model["snapshots"][1].dump()),
              testing::publishedSnapshot(1.7e9 + 120, 2, 30));
    EXPECT_DOUBLE_EQ(model["energyUsageSummary"]["totalWh"].get<double>(), 25.0 / 60);
    EXPECT_DOUBLE_EQ(model["energyUsageSummary"]["batteryWh"].get<double>(), 25.0 / 60);
    EXPECT_EQ(contents(directory.path()), before);
}

TEST_F(HistoryReadTest, DetailsPrintsTheWindowItsEnergyAndItsApplications) {
    fill(4, 30, false);
    const auto table = joulix("details --db " + database + " --window 90s");
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("Window: 2023-11-14 22:13:20 to 2023-11-14 22:14:50 UTC, 4 "
                                "snapshots"),
              std::string::npos)
        << table.output;
    EXPECT_NE(table.output.find("Energy         0.250  Wh"), std::string::npos) << table.output;
    const auto tokyo = joulix("details --db " + database + " --window 90s", "Asia/Tokyo");
    EXPECT_NE(tokyo.output.find("Window: 2023-11-15 07:13:20 to 2023-11-15 07:14:50 JST, 4 "),
              std::string::npos)
        << tokyo.output;
    EXPECT_NE(table.output.find("worker0"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("docker_container-web"), std::string::npos) << table.output;

    const auto json = joulix("details --json --window 60s --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    const auto output = SnapshotCodec::decode<DetailsPipelineOutput>(json.output);
    EXPECT_EQ(output.snapshotCount, 3);
    EXPECT_EQ(output.rangeSnapshot, testing::publishedSnapshot(1.7e9 + 90, 2));
    EXPECT_EQ(SnapshotCodec::encode(output) + "\n", json.output);
}

TEST_F(HistoryReadTest, DetailsWritesInfiniteStoredValuesAsNull) {
    fill(4, 30, false);
    testing::RawConnection(database).execute(
        "UPDATE snapshots SET total_watts = 9e999, unattributed_w = -9e999;");
    const auto json = joulix("details --json --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    EXPECT_NE(json.output.find("\"totalDischargeW\":null"), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"unattributedW\":null"), std::string::npos) << json.output;
    EXPECT_EQ(json.output.find("inf"), std::string::npos) << json.output;
}

TEST_F(HistoryReadTest, DetailsMasksControlCharactersInNames) {
    {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        auto snapshot = testing::publishedSnapshot(1.7e9, 1);
        snapshot.processes[0].canonicalName = "\x1b[2Jevil";
        snapshot.hidden[0].identifier = "web\x07";
        store.insert(snapshot);
    }
    const auto table = joulix("details --db " + database);
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_EQ(table.output.find_first_of("\x1b\x07"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("?[2Jevil"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("docker_container-web?"), std::string::npos) << table.output;
}

TEST_F(HistoryReadTest, DetailsOfAnEmptyDatabaseIsAnEmptyWindow) {
    SQLiteSnapshotStore(database, SQLiteSnapshotStore::Mode::readWriteCreate);
    const auto result = joulix("details --db " + database);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find(", 0 snapshots"), std::string::npos) << result.output;
}

TEST_F(HistoryReadTest, UnreadableDatabasesAndBadWindowsGiveOneLineAndStatusOne) {
    fill(1, 0, false);
    const std::string old = directory.string() + "/old.sqlite";
    SQLiteSnapshotStore(old, SQLiteSnapshotStore::Mode::readWriteCreate);
    testing::RawConnection(old).execute("UPDATE schema_metadata SET value = '4';");
    directory.writeFile("random.sqlite", std::string(4096, '\x5a'));
    const std::pair<std::string, std::string> cases[] = {
        {"history --db " + directory.string() + "/missing.sqlite", "no history database at"},
        {"details --db " + directory.string() + "/missing.sqlite", "no history database at"},
        {"history --db " + directory.string() + "/random.sqlite", "file is not a database"},
        {"history --db " + old, "has schema version 4, expected 5"},
        {"details --db " + database + " --window 15", "not a duration: 15"},
        {"details --db " + database + " --window -5m", "not a duration"},
        {"details --db " + database + " --window 1w", "not a duration"},
    };
    const auto before = contents(directory.path());
    for (const auto& [arguments, message] : cases) {
        const auto result = joulix(arguments);
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1);
    }
    EXPECT_EQ(contents(directory.path()), before);
}

}  // namespace
}  // namespace joulix
