#include "RunJoulix.h"

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

}  // namespace
}  // namespace joulix
