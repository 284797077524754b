#include "RunJoulix.h"
#include "SharedModels/ComponentProfileEvent.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace joulix {
namespace {

testing::CommandOutput traceSummary(const std::string& arguments) {
    return testing::runJoulix("trace-summary " + arguments + " 2>&1");
}

std::string eventLine(std::string component, double start, double duration) {
    ComponentProfileEvent e;
    e.component = std::move(component);
    e.correlationID = "c";
    e.startedAtUnixMs = start;
    e.durationMs = duration;
    e.threadLabel = "main";
    return e.jsonLine() + "\n";
}

TEST(TraceSummaryCommand, PrintsTheSummaryAsTablesOrJSON) {
    const testing::TemporaryDirectory directory;
    const auto path = directory.string() + "/trace.jsonl";
    std::ofstream(path) << eventLine("app.outer", 0, 10) << eventLine("app.inner", 2, 4);
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

TEST(TraceSummaryCommand, FailsPlainlyOnAMissingFileOrABadLine) {
    const testing::TemporaryDirectory directory;
    const auto path = directory.string() + "/trace.jsonl";
    EXPECT_EQ(traceSummary(path).output, "No such trace file: " + path + "\n");
    EXPECT_EQ(traceSummary(path).status, 1);
    std::ofstream(path) << eventLine("app.outer", 0, 10) << "{\"pid\":1}\n";
    const auto bad = traceSummary(path);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.output, "Missing key \"schemaVersion\"\n");
}

}  // namespace
}  // namespace joulix
