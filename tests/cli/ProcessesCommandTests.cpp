// `joulix processes` (and `sample`'s table) on this machine's own processes, with children of the
// test's own to rank and to name.
#include "RunJoulix.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace joulix {
namespace {

std::string runJoulix(const std::string& arguments) {
    const auto run = testing::runJoulix(arguments);
    EXPECT_EQ(run.status, 0) << arguments;
    return run.output;
}

TEST(ProcessesCommand, PrintsTheBusiestAsJSONRecordsOrATable) {
    const auto top = nlohmann::json::parse(runJoulix("processes --limit 3 --json"));
    ASSERT_TRUE(top.is_array());
    EXPECT_GE(top.size(), 1u);
    EXPECT_LE(top.size(), 3u);
    for (const auto& record : top) {
        EXPECT_TRUE(record["pid"].is_number_integer());
        EXPECT_TRUE(record["name"].is_string());
    }

    // Every process, the command itself among them, named by its executable.
    const auto all = nlohmann::json::parse(runJoulix("processes --all --json"));
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const auto& record) {
        return record["name"] == testing::joulixPath;
    }));

    const auto table = runJoulix("processes --limit 2");
    EXPECT_THAT(table.substr(0, table.find('\n')),
                ::testing::MatchesRegex(".*PID.*PARENT.*CPU %.*NAME.*BUNDLE ID.*"));
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
}

// CPU % is the share over the interval: a process that worked hard earlier and rests now shows
// as idle (its lifetime average is about a half), and the one working now ranks above it.
TEST(ProcessesCommand, RecentCPUShareRanksTheBusyChildAboveTheOneBusyEarlier) {
    const testing::TemporaryDirectory folder;
    const testing::ChildProcess earlier(
        {"bash", "-c", "while ((SECONDS < 2)); do :; done; echo idle; exec sleep 300"}, false,
        folder.string() + "/earlier.txt");
    ASSERT_TRUE(earlier.waitForOutput("idle", 10));
    const testing::ChildProcess busy({"bash", "-c", "while :; do :; done"});
    const auto top = nlohmann::json::parse(runJoulix("processes --limit 1000 --json --interval 1"));
    std::optional<std::size_t> busyRank, earlierRank;
    for (std::size_t i = 0; i < top.size(); ++i) {
        if (top[i]["pid"] == busy.pid()) busyRank = i;
        if (top[i]["pid"] == earlier.pid()) {
            earlierRank = i;
            EXPECT_LT(top[i]["cpuPercent"].get<double>(), 5.0);
        }
    }
    ASSERT_TRUE(busyRank && earlierRank);
    EXPECT_LT(*busyRank, *earlierRank);
    EXPECT_GT(top[*busyRank]["cpuPercent"].get<double>(), 10.0);
}

TEST(ProcessesCommand, AppsGroupsEveryProcessIntoKeyedRows) {
    const auto result = nlohmann::json::parse(runJoulix("processes --apps --json"));
    const auto& rows = result.at("processes");
    ASSERT_FALSE(rows.empty());
    bool foundSelf = false;
    for (const auto& row : rows) {
        const std::string id =
            std::to_string(row.at("pid").get<int64_t>()) + "-" + row.at("name").get<std::string>();
        EXPECT_EQ(result.at("processWhByID").at(id), 0);
        const auto& members = result.at("subprocessesByID").at(id);
        EXPECT_EQ(row.at("displayName"), row.at("canonicalName"));
        EXPECT_TRUE(row.contains("processGroupKey"));
        if (members.size() >= 2) {
            EXPECT_LE(row.at("pid").get<int64_t>(), -1'000'000);
        }
        for (const auto& member : members)
            foundSelf |= member.at("name") == testing::joulixPath;
        foundSelf |= row.at("name") == testing::joulixPath;
    }
    EXPECT_TRUE(foundSelf) << "the command's own process is among the rows";

    const auto table = runJoulix("processes --apps");
    EXPECT_EQ(table.substr(0, table.find('\n')).find("NAME"), 0u);
    EXPECT_NE(table.find("GROUP KEY"), std::string::npos);
}

// A process whose executable name holds a terminal escape shows in the tables of `processes`
// and `sample` with "?" in place of the control character.
TEST(ProcessesCommand, ControlCharactersInNamesShowAsQuestionMarks) {
    const testing::TemporaryDirectory folder;
    const auto tool = folder.path() / "\x1b[31mred";
    // A busy process (yes, its output thrown away), so that it ranks among sample's top rows.
    std::filesystem::copy_file("/usr/bin/yes", tool);
    const testing::ChildProcess busy({tool.string()}, false, "/dev/null");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const char* command : {"processes --all", "sample --top 1000 --interval 0"}) {
        const auto table = testing::runJoulix(std::string(command) + " 2>/dev/null").output;
        EXPECT_EQ(table.find('\x1b'), std::string::npos) << command;
        EXPECT_NE(table.find("?[31mred"), std::string::npos) << command << "\n" << table;
    }
}

}  // namespace
}  // namespace joulix
