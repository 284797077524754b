// `joulix report` over a made-up history and over an empty one, checked in a real browser:
// every chart holds drawn pixels, the console stays silent, an empty window says so.
#include "HeadlessChromium.h"
#include "SyntheticHistory.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace joulix {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& file) {
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
}

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

class ReportCommand : public ::testing::Test {
  protected:
    testing::TemporaryDirectory folder;
    std::string database = (folder.path() / "history.sqlite").string();
    fs::path page = folder.path() / "report.html";

    testing::CommandOutput report(const std::string& extra = "") {
        return testing::runJoulix("report --db " + database + " --out " + page.string() + " " +
                                  extra + " 2>&1");
    }
};

TEST_F(ReportCommand, DrawsEveryChartOfTheWindowInABrowser) {
    {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        testing::storeSyntheticHistory(store, Date::now(), 720, 5, 10);  // the last hour
        // Older than the window: not in the report.
        store.insert(testing::syntheticSnapshot(
            Date{Date::now().timeIntervalSinceReferenceDate - 3 * 3600}, 0, 1));
    }
    const auto run = report("--window 2h");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "Report written to " + page.string() + "\n");
    const std::string html = readAll(page);
    EXPECT_EQ(count(html, "<svg"), 6);
    EXPECT_NE(html.find("720 snapshots from "), std::string::npos);
    for (const char* app : {">editor<", ">browser<", ">compiler<", ">player<", ">mail<"})
        EXPECT_GE(count(html, app), 3) << app;  // two legends and the table
    EXPECT_EQ(html.find("src="), std::string::npos);
    EXPECT_EQ(html.find("href="), std::string::npos);

    if (!testing::haveChromium()) GTEST_SKIP() << "chromium is not installed";
    const auto shot = testing::screenshotOf(page, 3400);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->consoleMessages, "");
    const auto areas = testing::chartAreas(*shot);
    ASSERT_EQ(areas.size(), 6u);
    for (const auto& area : areas)
        EXPECT_GT(testing::drawnPixels(*shot, area), 500) << area.top;
}

TEST_F(ReportCommand, AnEmptyWindowGivesAPageThatSaysSo) {
    SQLiteSnapshotStore(database, SQLiteSnapshotStore::Mode::readWriteCreate);
    const auto run = report();
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string html = readAll(page);
    EXPECT_NE(html.find("No snapshots were recorded in this window."), std::string::npos);
    EXPECT_EQ(count(html, "<svg"), 0);
    if (!testing::haveChromium()) GTEST_SKIP() << "chromium is not installed";
    const auto shot = testing::screenshotOf(page, 800);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->consoleMessages, "");
    EXPECT_TRUE(testing::chartAreas(*shot).empty());
}

TEST_F(ReportCommand, AMissingDatabaseOrAnUnwritablePageIsOneClearLine) {
    const auto missing = report();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output.rfind("joulix report: cannot read the database " + database + ": ", 0),
              0u)
        << missing.output;
    EXPECT_FALSE(fs::exists(database));
    EXPECT_FALSE(fs::exists(page));

    SQLiteSnapshotStore(database, SQLiteSnapshotStore::Mode::readWriteCreate);
    page = folder.path() / "no-such-folder" / "report.html";
    const auto unwritable = report();
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.output.rfind("joulix report: cannot write " + page.string() + ": ", 0), 0u)
        << unwritable.output;
}

}  // namespace
}  // namespace joulix
