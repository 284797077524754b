#include "SharedModels/ComponentProfileEvent.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Run {
    int status;
    std::string output;  // standard output and standard error
};

Run traceSummary(const std::string& arguments) {
    const std::string command =
        std::string(JOULIX_BINARY_DIR) + "/cli/joulix trace-summary " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
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

class TraceSummaryCommand : public testing::Test {
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
