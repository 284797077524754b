#include "RunJoulix.h"
#include "SharedModels/SnapshotCodec.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace joulix {
namespace {

namespace fs = std::filesystem;

// Every file of the directory with its bytes, to show that a run changed nothing.
std::map<std::string, std::string> contents(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        std::ostringstream bytes;
        bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        files[entry.path().filename()] = bytes.str();
    }
    return files;
}

class HistoryCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        for (int i = 0; i < 3; ++i)
            store.insert(testing::publishedSnapshot(1.7e9 + 60 * i, 2, 10.0 * (i + 1)));
    }
    testing::CommandOutput history(const std::string& arguments) {
        return testing::runCommand("TZ=UTC " + testing::joulixPath + " history " + arguments +
                                   " 2>&1");
    }

    testing::TemporaryDirectory directory;
    std::string database = directory.string() + "/history.sqlite";
};

TEST_F(HistoryCommandTest, PrintsTheNewestSnapshotsAndTheirEnergyWithoutTouchingAFile) {
    const auto before = contents(directory.path());
    const auto table = history("--db " + database + " --limit 2");
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("TIME (UTC)           TOTAL W  PROCESS W  BATTERY %  PROCESSES\n"
                                "2023-11-14 22:14:20    20.00       1.50       80.0          2\n"
                                "2023-11-14 22:15:20    30.00       1.50       80.0          2\n"),
              std::string::npos)
        << table.output;
    EXPECT_NE(table.output.find("Total          0.417  Wh\n"), std::string::npos) << table.output;

    const auto json = history("--json --limit 2 --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    const auto model = nlohmann::json::parse(json.output);
    ASSERT_EQ(model["snapshots"].size(), 2u);
    EXPECT_EQ(SnapshotCodec::decode<DrainSnapshot>(model["snapshots"][1].dump()),
              testing::publishedSnapshot(1.7e9 + 120, 2, 30));
    EXPECT_DOUBLE_EQ(model["energyUsageSummary"]["totalWh"].get<double>(), 25.0 / 60);
    EXPECT_DOUBLE_EQ(model["energyUsageSummary"]["batteryWh"].get<double>(), 25.0 / 60);
    EXPECT_EQ(contents(directory.path()), before);
}

TEST_F(HistoryCommandTest, UnreadableDatabasesGiveOneLineAndStatusOne) {
    directory.writeFile("random.sqlite", std::string(4096, '\x5a'));
    testing::RawConnection(database).execute("UPDATE schema_metadata SET value = '4';");
    const std::pair<std::string, std::string> cases[] = {
        {directory.string() + "/missing.sqlite", "no history database at"},
        {directory.string() + "/random.sqlite", "file is not a database"},
        {database, "has schema version 4, expected 5"},
    };
    const auto before = contents(directory.path());
    for (const auto& [path, message] : cases) {
        const auto result = history("--db " + path);
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1);
    }
    EXPECT_EQ(contents(directory.path()), before);
}

}  // namespace
}  // namespace joulix
