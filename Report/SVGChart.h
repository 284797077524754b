#pragma once
// Charts of time series as inline SVG that a browser shows without any script: a time axis
// with local-time labels, a value axis with its unit, a legend, and the series drawn either as
// lines or as stacked areas, with periods shaded behind them and hover tooltips (time and
// value). Drawn on a 1200 px wide view box that the page scales.
// Points closer than one pixel column are merged (lines keep each column's lowest and highest
// value, stacked areas its mean), so the size of the SVG does not grow with the history.
#include "SharedModels/Date.h"

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace joulix {

struct TimePoint {
    Date time{};
    double value = 0;
};

struct TimeSeries {
    std::string label{};
    std::vector<TimePoint> points{};  // in time order; non-finite values are left out
};

enum class ChartStyle {
    lines,
    // Each series on top of the ones before it. Stacked series share their time points: the
    // first series gives the times, the others their values at the same positions.
    stackedAreas
};

struct ChartSpec {
    std::string title{};
    std::string unit{};  // value axis label: "W", "Wh", "%"
    ChartStyle style = ChartStyle::lines;
    std::vector<TimeSeries> series{};
    std::optional<double> valueMax{};  // fixed top of the value axis (100 for a percentage)
    std::optional<Date> timeStart{};   // the time axis spans these, or else the data
    std::optional<Date> timeEnd{};
    // Points farther apart than this are not joined (recording was off between them).
    double gapS = std::numeric_limits<double>::infinity();
    // Periods shaded behind the series (the machine on AC power, say), named in their tooltip.
    std::vector<std::pair<Date, Date>> shaded{};
    std::string shadedLabel{};
};

inline constexpr int chartWidthPx = 1200;
inline constexpr int chartHeightPx = 340;
// The value axis line: its exact colour and position let a screenshot find the plot area.
inline constexpr const char* chartAxisColor = "#333333";

std::string renderSVGChart(const ChartSpec& chart);

}  // namespace joulix
