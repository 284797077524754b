#include "Report/SVGChart.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

using namespace joulix;

namespace {

// 2026-12-07 00:00:00 UTC.
constexpr double midnight1970 = 1796601600;

Date at(double secondsAfterMidnight) {
    return Date::fromTimeIntervalSince1970(midnight1970 + secondsAfterMidnight);
}

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

class SVGChart : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) savedTZ = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (savedTZ)
            ::setenv("TZ", savedTZ->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    std::optional<std::string> savedTZ;
};

}  // namespace

TEST_F(SVGChart, TimeLabelsFollowTheSpanOfTheWindow) {
    const struct {
        double spanS;
        std::vector<std::string> labels;
    } cases[] = {
        {6 * 3600, {">00:00<", ">03:00<", ">06:00<"}},
        {60, {">00:00:00<", ">00:00:30<", ">00:01:00<"}},
        {24 * 3600, {">Dec 07 00:00<", ">Dec 07 12:00<", ">Dec 08 00:00<"}},
        {7 * 86400, {">Dec 07<", ">Dec 14<"}},
    };
    for (const auto& c : cases) {
        const std::string svg = renderSVGChart(
            {.title = "t", .unit = "W", .series = {{"a", {{at(0), 1}, {at(c.spanS), 2}}}}});
        for (const std::string& label : c.labels)
            EXPECT_NE(svg.find(label), std::string::npos) << label;
        EXPECT_NE(svg.find("local time (UTC)"), std::string::npos);
    }
}

TEST_F(SVGChart, LabelsAreEscapedAndLongHistoriesStaySmall) {
    TimeSeries busy{"<script>&\"x\x01", {}};
    for (int i = 0; i < 100000; ++i)
        busy.points.push_back({at(i * 0.5), double(i % 7)});
    busy.points[50000].value = 50;  // one spike among small values survives the merging
    busy.points[50001].value = std::numeric_limits<double>::quiet_NaN();
    const std::string svg =
        renderSVGChart({.title = "Power & <more>", .unit = "W", .series = {busy}});
    EXPECT_EQ(svg.find("<script>"), std::string::npos);
    EXPECT_NE(svg.find("&lt;script&gt;&amp;&quot;x?"), std::string::npos);
    EXPECT_NE(svg.find("Power &amp; &lt;more&gt;"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_LT(svg.size(), 100'000u);
    EXPECT_NE(svg.find(">50<"), std::string::npos);    // the axis reaches the spike
    EXPECT_NE(svg.find(",36.0 "), std::string::npos);  // drawn at the plot's top (y = 36)
}

TEST_F(SVGChart, GapsSplitLinesAndAreasAndEmptyChartsSaySo) {
    const TimeSeries first{"a", {{at(0), 1}, {at(10), 2}, {at(500), 3}, {at(510), 1}}};
    const TimeSeries second{"b", {{at(0), 2}, {at(10), 2}, {at(500), 2}, {at(510), 2}}};
    EXPECT_EQ(count(renderSVGChart({.series = {first, second}, .gapS = 60}), "<polyline"), 4);
    EXPECT_EQ(count(renderSVGChart({.series = {first, second}}), "<polyline"), 2);
    const std::string stacked =
        renderSVGChart({.style = ChartStyle::stackedAreas, .series = {first, second}, .gapS = 60});
    EXPECT_EQ(count(stacked, "<polygon"), 4);
    EXPECT_NE(stacked.find(">5<"), std::string::npos);  // axis up to the highest sum, 3 + 2
    const std::string empty = renderSVGChart({.series = {{"a", {}}}});
    EXPECT_NE(empty.find("no data in this window"), std::string::npos);
    EXPECT_EQ(count(empty, "<polyline"), 0);
}

TEST_F(SVGChart, AZeroSeriesPaintsNoBandAndPointsCarryTooltips) {
    const TimeSeries base{"processes", {{at(0), 4}, {at(60), 5}, {at(120), 6}}};
    const TimeSeries zero{"display and USB", {{at(0), 0}, {at(60), 0}, {at(120), 0}}};
    const TimeSeries top{"unattributed", {{at(0), 1}, {at(60), 1}, {at(120), 1}}};
    const std::string svg = renderSVGChart(
        {.unit = "W", .style = ChartStyle::stackedAreas, .series = {base, zero, top}});
    EXPECT_EQ(count(svg, "<polygon"), 2);
    EXPECT_EQ(count(svg, "fill=\"#ff7f0e\" fill-opacity=\"0.8\""), 0);  // the zero series' colour
    EXPECT_NE(svg.find("<title>processes, 2026-12-07 00:01:00: 5.00 W</title>"), std::string::npos);
    EXPECT_NE(svg.find("<title>unattributed, 2026-12-07 00:02:00: 1.00 W</title>"),
              std::string::npos);

    const std::string shaded = renderSVGChart(
        {.series = {base}, .shaded = {{at(30), at(90)}}, .shadedLabel = "on AC power"});
    EXPECT_NE(shaded.find("<title>on AC power</title></rect>"), std::string::npos);
}
