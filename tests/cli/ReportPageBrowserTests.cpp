// The report page as a browser shows it: headless Chromium loads a page of charts and tables,
// every chart's plot area holds drawn pixels, and the console stays silent.
#include "HeadlessChromium.h"
#include "cli/ReportPage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace joulix;
using namespace joulix::cli;

TEST(ReportPageInBrowser, EveryChartIsDrawnWithoutConsoleErrors) {
    if (!joulix::testing::haveChromium()) GTEST_SKIP() << "chromium is not installed";
    const Date start = Date::now();
    std::vector<TimeSeries> split{{"processes", {}}, {"components", {}}, {"unattributed", {}}};
    TimeSeries level{"battery", {}};
    for (int i = 0; i <= 600; ++i) {
        const Date t{start.timeIntervalSinceReferenceDate + i * 5};
        split[0].points.push_back({t, 4 + std::sin(i / 40.0)});
        split[1].points.push_back({t, 1.5});
        split[2].points.push_back({t, 0.5 + (i % 50) / 100.0});
        level.points.push_back({t, 90 - i / 20.0});
    }
    const ReportPage page{
        .title = "Joulix report",
        .summaryLines = {"Window: the last hour"},
        .sections = {
            {"System power",
             "",
             {{.title = "Split", .unit = "W", .style = ChartStyle::stackedAreas, .series = split},
              {.title = "Lines", .unit = "W", .series = split}}},
            {"Battery",
             "",
             {{.title = "Level", .unit = "%", .series = {level}, .valueMax = 100}},
             ReportTable{{"Application", "Wh"}, {{"editor", "1.5"}}, {false, true}}}}};
    const auto folder = std::filesystem::temp_directory_path() / "jlx-report-page-test";
    std::filesystem::create_directories(folder);
    const auto file = folder / "report.html";
    std::ofstream(file) << renderReportPage(page);

    const auto shot = joulix::testing::screenshotOf(file, 1600);
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->consoleMessages, "");
    const auto areas = joulix::testing::chartAreas(*shot);
    ASSERT_EQ(areas.size(), 3u);
    for (const auto& area : areas)
        EXPECT_GT(joulix::testing::drawnPixels(*shot, area), 2000) << area.top;
}
