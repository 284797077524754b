#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace {

std::string runJoulix(const std::string& arguments) {
    const std::string command = JOULIX_BINARY_DIR "/cli/joulix " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
    return output;
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
    const std::string self = JOULIX_BINARY_DIR "/cli/joulix";
    EXPECT_TRUE(std::any_of(all.begin(), all.end(),
                            [&](const auto& record) { return record["name"] == self; }));

    const auto table = runJoulix("processes --limit 2");
    const auto header = table.substr(0, table.find('\n'));
    EXPECT_LT(header.find("PID"), header.find("PARENT"));
    EXPECT_LT(header.find("PARENT"), header.find("CPU %"));
    EXPECT_LT(header.find("CPU %"), header.find("NAME"));
    EXPECT_LT(header.find("NAME"), header.find("BUNDLE ID"));
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
}

}  // namespace
