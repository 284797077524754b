#include "MetricsCollectors/PowermetricsParser.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tuple>

namespace joulix {
namespace {

TEST(PowermetricsParserTests, PowerValuesOfOneLine) {
    const std::tuple<std::string, std::string, std::optional<double>> cases[] = {
        {"CPU Power: 1234 mW", "CPU Power", 1.234},
        {"GPU Power: 0 mW", "GPU Power", 0.0},
        {"ANE Power: 12 uW", "ANE Power", 0.000012},
        {"Combined Power (CPU + GPU + ANE): 2.5 W", "Combined Power (CPU + GPU + ANE)", 2.5},
        {"CPU Power: 3 MW", "CPU Power", 0.003},  // upper-case M is still milli
        {"CPU Power: 2kW", "CPU Power", 2000.0},
        {"cpu power: 5 W", "CPU Power", std::nullopt},   // the label is case-sensitive
        {"CPU Power: 5 Wh", "CPU Power", std::nullopt},  // the unit must end a word
        {"CPU Power: 1.2.3W", "CPU Power", 2.3},  // the first match, as the expression finds it
        {"CPU Power: n/a", "CPU Power", std::nullopt},
        {"CPU Power:\u00a0\u00a07\u2003mW", "CPU Power", 0.007},  // Unicode spaces
        // Where the unit and the label end is decided per character, not per byte.
        {"CPU Power: 5 W\xC2\xA0(avg)", "CPU Power", 5},            // no-break space ends it
        {"CPU Power: 5 W\xC2\xAD", "CPU Power", std::nullopt},      // soft hyphen: a format char
        {"CPU Power: 5 W\xE2\x93\x90", "CPU Power", std::nullopt},  // circled letter
        {"CPU Power: 5 W\xCC\x81 then 7 mW", "CPU Power", 0.007},   // a combining mark continues
        {"CPU Power\xCC\x81: 5 W", "CPU Power", std::nullopt},      // the label's end changed
        {"CPU Power", "CPU Power", std::nullopt},
    };
    for (const auto& [line, label, watts] : cases) {
        EXPECT_DOUBLE_EQ(PowermetricsParser::powerValue(line, label).value_or(-1),
                         watts.value_or(-1))
            << line;
    }
}

TEST(PowermetricsParserTests, CoalitionTableInMilliwatts) {
    const auto out =
        PowermetricsParser().parse(testing::fixture("powermetrics/coalitions-milliwatts.txt"));
    EXPECT_DOUBLE_EQ(out.cpuPackageW, 1.2);
    EXPECT_DOUBLE_EQ(out.gpuPackageW, 0.4);
    EXPECT_DOUBLE_EQ(out.combinedPackageW, 1.6);
    EXPECT_FALSE(out.totalSystemWatts);
    EXPECT_DOUBLE_EQ(*out.allTasksCPUmsPerSec, 420);
    EXPECT_DOUBLE_EQ(out.totalTaskCPUmsPerSec, 400);
    EXPECT_DOUBLE_EQ(out.totalTaskGPUmsPerSec, 200);
    EXPECT_FALSE(out.gpuPackageAllocatedByCPUShare());

    // Coalition rows, DEAD_TASKS and ALL_TASKS are not tasks; indented rows are.
    ASSERT_EQ(out.processes.size(), 4u);
    const auto& server = out.processes[0];
    EXPECT_EQ(server.pid, 142);
    EXPECT_EQ(server.name, "WindowServer");
    EXPECT_DOUBLE_EQ(server.cpuPackageW, 0.6);
    EXPECT_DOUBLE_EQ(server.gpuPackageW, 0.3);
    EXPECT_DOUBLE_EQ(server.packageW, 0.9);
    EXPECT_EQ(out.processes[1].name, "WindowServer Helper");
    EXPECT_DOUBLE_EQ(out.processes[1].gpuPackageW, 0);
    EXPECT_EQ(out.processes[3].pid, 7002);
    EXPECT_EQ(out.processes[3].name, "Editor Helper (Renderer)");
}

TEST(PowermetricsParserTests, GPUPowerSplitByCPUShareWhenNoTaskReportsGPUTime) {
    const auto out = PowermetricsParser().parse(
        testing::fixture("powermetrics/tasks-watts-gpu-by-cpu-share.txt"));
    EXPECT_DOUBLE_EQ(out.combinedPackageW, 3);     // no combined line: the sum
    EXPECT_DOUBLE_EQ(*out.totalSystemWatts, 7.5);  // the first system power wins
    EXPECT_TRUE(out.gpuPackageAllocatedByCPUShare());
    EXPECT_DOUBLE_EQ(out.resolvedCPUAttributionDenominator(), 200);

    // pid 0, pid -1 and the row whose name overflows into the ID column are skipped; rows
    // before the header and after the next "****" title are never read.
    ASSERT_EQ(out.processes.size(), 2u);
    const PowermetricsProcessRecord backupd{42, "backupd", 50, 0, 0.5, 0.25, 0, 0.75};
    const PowermetricsProcessRecord mds{43, "mds_stores", 150, 0, 1.5, 0.75, 0, 2.25};
    EXPECT_EQ(out.processes[0], backupd);
    EXPECT_EQ(out.processes[1], mds);
}

TEST(PowermetricsParserTests, PackageLinesAndTablesWithoutTasks) {
    const PowermetricsParser parser;
    EXPECT_EQ(parser.parse(""), PowermetricsParseOutput{});
    EXPECT_FALSE(parser.parse("").hasPackagePower());

    const auto twice = parser.parse("CPU Power: 1 W\nCPU Power: 2 W\nTotal Power: 4 W\n");
    EXPECT_DOUBLE_EQ(twice.cpuPackageW, 2);
    EXPECT_DOUBLE_EQ(*twice.totalSystemWatts, 4);

    // Rows that are not indented are never tasks; columns count characters, not bytes.
    const auto table = parser.parse("*** Running tasks ***\n"
                                    "Name      ID    CPU ms/s  GPU ms/s\n"
                                    "top       12    30.0      0.0\n"
                                    "ALL_TASKS -2    30.0      0.0\n"
                                    "  Café    13    20.0      5.0\n");
    ASSERT_EQ(table.processes.size(), 1u);
    EXPECT_EQ(table.processes[0].pid, 13);
    EXPECT_EQ(table.processes[0].name, "Café");
    EXPECT_DOUBLE_EQ(table.processes[0].cpuMsPerSec, 20);
    EXPECT_DOUBLE_EQ(table.processes[0].gpuMsPerSec, 5);
    EXPECT_DOUBLE_EQ(*table.allTasksCPUmsPerSec, 30);
}

}  // namespace
}  // namespace joulix
