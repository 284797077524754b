// `joulix report` over a made-up history and over an empty one, checked in a real browser:
// every chart holds drawn pixels, the console stays silent, an empty window says so.
#include "HeadlessChromium.h"
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "SyntheticHistory.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace joulix {
namespace {

namespace fs = std::filesystem;

using testing::readFile;

// The cells of the rows of the first table after `heading`.
std::vector<std::vector<std::string>> tableAfter(const std::string& html,
                                                 const std::string& heading) {
    std::vector<std::vector<std::string>> rows;
    const auto start = html.find("<tbody>", html.find(heading));
    const auto end = html.find("</tbody>", start);
    for (auto row = html.find("<tr>", start); row < end; row = html.find("<tr>", row + 1)) {
        rows.emplace_back();
        const auto rowEnd = html.find("</tr>", row);
        for (auto cell = html.find("<td", row); cell < rowEnd; cell = html.find("<td", cell + 1)) {
            const auto from = html.find('>', cell) + 1;
            rows.back().push_back(html.substr(from, html.find("</td>", from) - from));
        }
    }
    return rows;
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
    const std::string html = readFile(page);
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

    // On a desktop and on a phone: nothing wider than the screen (charts and tables scroll in
    // their own box), no text under 11 px.
    for (const int width : {1280, 390}) {
        const auto layout = testing::layoutAt(page, width);
        ASSERT_TRUE(layout) << width;
        EXPECT_LE(layout->overflowPx, 0) << width;
        EXPECT_GE(layout->smallestTextPx, 11) << width;
        EXPECT_GT(layout->textCount, 50) << width;
    }
}

// The applications table lists every group with energy in the window, as `details` computes
// it: an application in every other snapshot included, kernel threads in one row, shares of
// the window's total energy.
TEST_F(ReportCommand, TheApplicationsTableAgreesWithDetails) {
    {
        SQLiteSnapshotStore store(database, SQLiteSnapshotStore::Mode::readWriteCreate);
        const Date end = Date::now();
        for (int i = 0; i < 240; ++i) {
            auto snapshot = testing::syntheticSnapshot(
                Date{end.timeIntervalSinceReferenceDate - (239 - i) * 5.0}, i, 5);
            for (const char* thread : {"[kworker/0:1]", "[ksoftirqd/0]"})
                snapshot.processes.push_back(testing::publishedProcess(7 + i % 2, thread, 0.25));
            if (i % 2 == 0)
                snapshot.processes.push_back(testing::publishedProcess(900, "backup", 8));
            store.insert(snapshot);
        }
    }
    ASSERT_EQ(report().status, 0);
    const auto json = testing::runJoulix("details --json --window 24h --db " + database);
    ASSERT_EQ(json.status, 0) << json.output;
    const auto details = SnapshotCodec::decode<DetailsPipelineOutput>(json.output);
    std::map<std::string, double> expected;
    for (const auto& group : details.processGroups) {
        const bool kernel = group.canonicalName.front() == '[';
        expected[kernel ? "kernel" : group.canonicalName] += group.totalEnergyWh;
    }
    const auto rows = tableAfter(readFile(page), "<h2>Applications</h2>");
    ASSERT_EQ(rows.size(), expected.size());
    EXPECT_EQ(rows[0][0], "backup");  // 8 W half the time: 4 W, the largest
    double previousWh = 1e9;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 5u);
        ASSERT_TRUE(expected.contains(row[0])) << row[0];
        const double wh = expected[row[0]];
        EXPECT_EQ(row[1], text::formatted("%.3f", wh)) << row[0];
        EXPECT_EQ(row[2], text::formatted("%.1f %%", 100 * wh / details.energySummary.totalWh));
        EXPECT_LE(std::stod(row[1]), previousWh);
        previousWh = std::stod(row[1]);
    }
    EXPECT_NEAR(expected["backup"], 4.0 * 239 * 5 / 3600, 1e-6);
    EXPECT_NEAR(expected["kernel"], 0.5 * 239 * 5 / 3600, 1e-6);
}

// The header counts where the total power of every snapshot of the window came from, not only of
// the 2000 drawn: 2300 snapshots 5 s apart up to now, of each kind.
TEST_F(ReportCommand, TheHeaderCountsThePowerSourceOfEverySnapshot) {
    SQLiteSnapshotStore(database, SQLiteSnapshotStore::Mode::readWriteCreate);
    const std::string rows = text::formatted(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 2299)\n"
        "INSERT INTO snapshots (timestamp, total_watts, process_total_w, tracker_total_w,"
        " on_battery_power, pm_command_ok, pm_parsed_process_count, pm_has_package_power,"
        " pm_has_system_power, used_estimated_total_power, screen_model_available,"
        " usb_model_available, components_screen_w, components_usb_w, unattributed_w)\n"
        "SELECT %.3f - 5 * (2299 - i), 10, 0, 0, i < 900, CASE WHEN i < 2200 THEN 1 END, 0,"
        " i < 2150, 0, i >= 900, 1, 1, 2, 0.5, 7.5 FROM n;",
        Date::now().timeIntervalSince1970());
    testing::RawConnection(database).execute(rows.c_str());
    const auto run = report();
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(readFile(page).find("Power source: battery discharge (900), RAPL package power plus "
                                  "display and USB estimates (1250), display and USB estimates "
                                  "only (50), not recorded (100); 1300 of the 2300 snapshots are "
                                  "estimates."),
              std::string::npos);
}

TEST_F(ReportCommand, AnEmptyWindowGivesAPageThatSaysSo) {
    SQLiteSnapshotStore(database, SQLiteSnapshotStore::Mode::readWriteCreate);
    const auto run = report();
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string html = readFile(page);
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
