#include "RunJoulix.h"
#include "SharedModels/SnapshotCodec.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace joulix {
namespace {

class DetailsCommandTest : public ::testing::Test {
  protected:
    testing::CommandOutput details(const std::string& arguments, const std::string& zone = "UTC") {
        return testing::runCommand("TZ=" + zone + " " + testing::joulixPath + " details " +
                                   arguments + " 2>&1");
    }
    void fill() {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        for (int i = 0; i < 4; ++i)
            store.insert(testing::publishedSnapshot(1.7e9 + 30 * i, 2));
    }

    testing::TemporaryDirectory directory;
    std::string database = directory.string() + "/history.sqlite";
};

TEST_F(DetailsCommandTest, PrintsTheWindowItsEnergyAndItsApplications) {
    fill();
    const auto table = details("--db " + database + " --window 90s");
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("Window: 2023-11-14 22:13:20 to 2023-11-14 22:14:50 UTC, 4 "
                                "snapshots"),
              std::string::npos)
        << table.output;
    EXPECT_NE(table.output.find("Energy         0.250  Wh"), std::string::npos) << table.output;
    const auto tokyo = details("--db " + database + " --window 90s", "Asia/Tokyo");
    EXPECT_NE(tokyo.output.find("Window: 2023-11-15 07:13:20 to 2023-11-15 07:14:50 JST, 4 "),
              std::string::npos)
        << tokyo.output;
    EXPECT_NE(table.output.find("worker0"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("docker_container-web"), std::string::npos) << table.output;

    const auto json = details("--json --window 60s --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    const auto output = SnapshotCodec::decode<DetailsPipelineOutput>(json.output);
    EXPECT_EQ(output.snapshotCount, 3);
    EXPECT_EQ(output.rangeSnapshot, testing::publishedSnapshot(1.7e9 + 90, 2));
    EXPECT_EQ(SnapshotCodec::encode(output) + "\n", json.output);
}

TEST_F(DetailsCommandTest, InfiniteStoredValuesAreWrittenAsNull) {
    fill();
    testing::RawConnection(database).execute(
        "UPDATE snapshots SET total_watts = 9e999, unattributed_w = -9e999;");
    const auto json = details("--json --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    EXPECT_NE(json.output.find("\"totalDischargeW\":null"), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"unattributedW\":null"), std::string::npos) << json.output;
    EXPECT_EQ(json.output.find("inf"), std::string::npos) << json.output;
}

TEST_F(DetailsCommandTest, NamesAreMaskedForControlCharacters) {
    {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        auto snapshot = testing::publishedSnapshot(1.7e9, 1);
        snapshot.processes[0].canonicalName = "\x1b[2Jevil";
        snapshot.hidden[0].identifier = "web\x07";
        store.insert(snapshot);
    }
    const auto table = details("--db " + database);
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_EQ(table.output.find_first_of("\x1b\x07"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("?[2Jevil"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("docker_container-web?"), std::string::npos) << table.output;
}

TEST_F(DetailsCommandTest, AnEmptyDatabaseIsAnEmptyWindow) {
    SQLiteSnapshotStore(database, SQLiteSnapshotStore::Mode::readWriteCreate);
    const auto result = details("--db " + database);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find(", 0 snapshots"), std::string::npos) << result.output;
}

TEST_F(DetailsCommandTest, UnreadableDatabasesAndBadWindowsGiveOneLineAndStatusOne) {
    fill();
    directory.writeFile("random.sqlite", std::string(4096, '\x5a'));
    const std::pair<std::string, std::string> cases[] = {
        {"--db " + directory.string() + "/missing.sqlite", "no history database at"},
        {"--db " + directory.string() + "/random.sqlite", "file is not a database"},
        {"--db " + database + " --window 15", "not a duration: 15"},
        {"--db " + database + " --window -5m", "not a duration"},
        {"--db " + database + " --window 1w", "not a duration"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto result = details(arguments);
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1);
    }
}

}  // namespace
}  // namespace joulix
