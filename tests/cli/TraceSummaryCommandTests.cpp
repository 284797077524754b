#include "RunJoulix.h"
#include "SharedModels/ComponentProfileEvent.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

joulix::testing::CommandOutput traceSummary(const std::string& arguments) {
    return joulix::testing::runJoulix("trace-summary " + arguments + " 2>&1");
}

joulix::ComponentProfileEvent event(std::string component, double start, double duration) {
    joulix::ComponentProfileEvent e;
    e.component = std::move(component);
    e.correlationID = "c";
    e.startedAtUnixMs = start;
    e.durationMs = duration;
    e.threadLabel = "main";
    return e;
}

class TraceSummaryCommand : public ::testing::Test {
  protected:
    void TearDown() override { fs::remove(path); }
    std::string path =
        (fs::temp_directory_path() / ("jlx-cli-trace-" + std::to_string(::getpid()))).string();
};

}  // namespace

TEST_F(TraceSummaryCommand, PrintsTheSummaryAsTablesOrJSON) {
    std::ofstream(path) << event("app.outer", 0, 10).jsonLine() << "\n"
                        << event("app.inner", 2, 4).jsonLine() << "\n";
    const auto json = traceSummary("--json --top 1 " + path);
    ASSERT_EQ(json.status, 0) << json.output;
    const auto summary = nlohmann::json::parse(json.output);
    EXPECT_EQ(summary["eventCount"], 2);
    EXPECT_EQ(summary["topMainThreadBlockers"].size(), 1u);
    EXPECT_EQ(summary["topMainThreadBlockers"][0]["component"], "app.outer");
    EXPECT_EQ(summary["topMainThreadBlockers"][0]["totalDurationMs"], 6.0);

    const auto table = traceSummary(path);
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("Events: 2\n"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("COMPONENT  COUNT  TOTAL MS  AVG MS  MAX MS\n"
                                "app.outer      1     6.000   6.000   6.000\n"
                                "app.inner      1     4.000   4.000   4.000\n"),
              std::string::npos)
        << table.output;
}

TEST_F(TraceSummaryCommand, FailsPlainlyOnAMissingFileOrABadLine) {
    const auto missing = traceSummary(path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "No such trace file: " + path + "\n");

    std::ofstream(path) << event("app.outer", 0, 10).jsonLine() << "\n{\"pid\":1}\n";
    const auto bad = traceSummary(path);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.output, "Missing key \"schemaVersion\"\n");
}
