#include "RunJoulix.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace joulix {
namespace {

TEST(ProcessesAppsCommand, GroupsEveryProcessIntoKeyedRows) {
    const auto run = testing::runJoulix("processes --apps --json");
    ASSERT_EQ(run.status, 0);
    const auto result = nlohmann::json::parse(run.output);
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

    const auto table = testing::runJoulix("processes --apps");
    ASSERT_EQ(table.status, 0);
    EXPECT_EQ(table.output.substr(0, table.output.find('\n')).find("NAME"), 0u);
    EXPECT_NE(table.output.find("GROUP KEY"), std::string::npos);
}

}  // namespace
}  // namespace joulix
