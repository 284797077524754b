#include "Report/SVGChart.h"

#include "Report/Markup.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <string_view>

namespace joulix {

namespace {

constexpr const char* palette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                   "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
constexpr const char* plotBackground = "#f7f9fc";
constexpr const char* gridColor = "#dde3ea";
constexpr const char* shadeColor = "#fdf1d6";
constexpr const char* labelColor = "#444444";
constexpr int plotLeft = 76;
constexpr int plotRight = chartWidthPx - 16;
constexpr int legendRowPx = 20;
constexpr std::size_t legendLabelCharacters = 40;
constexpr std::size_t tooltipsPerSeries = 60;

const char* colorOf(std::size_t index) {
    return palette[index % std::size(palette)];
}

std::string px(double value) {
    return text::formatted("%.1f", value);
}

// One run of points drawn joined, in pixel coordinates.
using Segment = std::vector<std::pair<double, double>>;

struct Frame {
    double t0 = 0, t1 = 1;  // seconds since 1970
    double lo = 0, hi = 1, valueStep = 1;
    double top = 0, bottom = 0;

    double x(double t) const { return plotLeft + (t - t0) / (t1 - t0) * (plotRight - plotLeft); }
    double y(double v) const { return bottom - (v - lo) / (hi - lo) * (bottom - top); }
};

// 1, 2, 2.5 or 5 times a power of ten, at least `raw`.
double niceStep(double raw) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 2.5, 5.0}) {
        if (raw <= factor * magnitude * (1 + 1e-9)) return factor * magnitude;
    }
    return 10 * magnitude;
}

std::string valueLabel(double value, double step) {
    int decimals = 0;
    while (decimals < 6 && std::fabs(step * std::pow(10.0, decimals) -
                                     std::round(step * std::pow(10.0, decimals))) > 1e-6) {
        ++decimals;
    }
    const std::string format = "%." + std::to_string(decimals) + "f";
    return text::formatted(format.c_str(), std::fabs(value) < step * 1e-9 ? 0.0 : value);
}

std::tm localTime(double seconds1970) {
    const auto seconds = static_cast<std::time_t>(std::floor(seconds1970));
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return local;
}

std::string timeLabel(double seconds1970, const char* format) {
    const std::tm local = localTime(seconds1970);
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

// Time ticks: the smallest step giving at most eight ticks, aligned to local time.
std::vector<double> timeTicks(double t0, double t1, double& step) {
    constexpr double steps[] = {1,     2,     5,      10,     15,     30,      60,     120,
                                300,   600,   900,    1800,   3600,   7200,    10800,  21600,
                                43200, 86400, 172800, 345600, 604800, 1209600, 2592000};
    step = steps[std::size(steps) - 1];
    for (const double candidate : steps) {
        if ((t1 - t0) / candidate <= 8) {
            step = candidate;
            break;
        }
    }
    const double offset = static_cast<double>(localTime(t0).tm_gmtoff);
    std::vector<double> ticks;
    for (double t = std::ceil((t0 + offset) / step) * step - offset; t <= t1 + 1e-6; t += step)
        ticks.push_back(t);
    return ticks;
}

const char* timeFormat(double step, double span) {
    if (step < 60) return "%H:%M:%S";
    if (step >= 86400) return "%b %d";
    return span > 20 * 3600 ? "%b %d %H:%M" : "%H:%M";
}

// Splits indices [0, count) into runs whose consecutive times are at most gapS apart and, within
// a run, into groups that fall on one pixel column.
template <typename TimeAt>
std::vector<std::vector<std::pair<std::size_t, std::size_t>>>
columnGroups(std::size_t count, TimeAt timeAt, const Frame& frame, double gapS) {
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> runs;
    for (std::size_t i = 0; i < count; ++i) {
        const bool newRun = i == 0 || timeAt(i) - timeAt(i - 1) > gapS;
        if (newRun) runs.emplace_back();
        auto& groups = runs.back();
        const double column = std::floor(frame.x(timeAt(i)));
        if (newRun || std::floor(frame.x(timeAt(groups.back().first))) != column)
            groups.emplace_back(i, i + 1);
        else
            groups.back().second = i + 1;
    }
    return runs;
}

struct CleanSeries {
    std::vector<double> times;
    std::vector<double> values;
};

CleanSeries clean(const TimeSeries& series) {
    CleanSeries out;
    for (const TimePoint& point : series.points) {
        const double t = point.time.timeIntervalSince1970();
        if (!std::isfinite(t) || !std::isfinite(point.value)) continue;
        if (!out.times.empty() && t < out.times.back()) continue;
        out.times.push_back(t);
        out.values.push_back(point.value);
    }
    return out;
}

// Line segments of one series, each pixel column reduced to its lowest and highest value.
std::vector<Segment> lineSegments(const CleanSeries& series, const Frame& frame, double gapS) {
    std::vector<Segment> segments;
    const auto timeAt = [&](std::size_t i) { return series.times[i]; };
    for (const auto& run : columnGroups(series.times.size(), timeAt, frame, gapS)) {
        Segment& segment = segments.emplace_back();
        for (const auto& [begin, end] : run) {
            const auto values = series.values.begin();
            const auto [low, high] = std::minmax_element(values + begin, values + end);
            const std::size_t first = std::min(low, high) - values;
            const std::size_t second = std::max(low, high) - values;
            segment.emplace_back(frame.x(series.times[first]), frame.y(series.values[first]));
            if (second != first)
                segment.emplace_back(frame.x(series.times[second]), frame.y(series.values[second]));
        }
    }
    return segments;
}

struct Stack {
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> runs;
    std::vector<double> times;              // one per group
    std::vector<std::vector<double>> tops;  // per series, cumulative, one per group
};

Stack stack(const std::vector<CleanSeries>& series, const Frame& frame, double gapS) {
    Stack result;
    if (series.empty()) return result;
    std::size_t count = series[0].times.size();
    for (const CleanSeries& s : series)
        count = std::min(count, s.values.size());
    const auto timeAt = [&](std::size_t i) { return series[0].times[i]; };
    result.runs = columnGroups(count, timeAt, frame, gapS);
    result.tops.assign(series.size(), {});
    for (const auto& run : result.runs) {
        for (const auto& [begin, end] : run) {
            const auto n = static_cast<double>(end - begin);
            double time = 0;
            for (std::size_t i = begin; i < end; ++i)
                time += series[0].times[i] / n;
            result.times.push_back(time);
            double cumulative = 0;
            for (std::size_t s = 0; s < series.size(); ++s) {
                double mean = 0;
                for (std::size_t i = begin; i < end; ++i)
                    mean += series[s].values[i] / n;
                cumulative += std::max(0.0, mean);
                result.tops[s].push_back(cumulative);
            }
        }
    }
    return result;
}

// Invisible markers at up to tooltipsPerSeries points of each series whose <title> a browser
// shows on hover: the series, the local time and the value with its unit.
std::string tooltips(const ChartSpec& chart, const std::vector<CleanSeries>& series,
                     const Frame& frame) {
    std::string marks;
    for (std::size_t s = 0; s < series.size(); ++s) {
        const CleanSeries& one = series[s];
        const std::size_t step = std::max<std::size_t>(1, one.times.size() / tooltipsPerSeries);
        for (std::size_t i = 0; i < one.times.size(); i += step) {
            const double t = one.times[i];
            if (t < frame.t0 || t > frame.t1) continue;
            // A stacked series is drawn on top of the ones before it.
            double shownAt = one.values[i];
            if (chart.style == ChartStyle::stackedAreas) {
                shownAt = 0;
                for (std::size_t below = 0; below <= s && i < series[below].values.size(); ++below)
                    shownAt += std::max(0.0, series[below].values[i]);
            }
            marks +=
                "<circle cx=\"" + px(frame.x(t)) + "\" cy=\"" +
                px(frame.y(std::clamp(shownAt, frame.lo, frame.hi))) +
                "\" r=\"6\" fill=\"#000000\" fill-opacity=\"0\"><title>" +
                escapedMarkup(chart.series[s].label + ", " + timeLabel(t, "%Y-%m-%d %H:%M:%S") +
                              ": " + valueLabel(one.values[i], 0.01) + " " + chart.unit) +
                "</title></circle>";
        }
    }
    return marks;
}

std::string truncatedLabel(const std::string& label) {
    if (text::characterCount(label) <= legendLabelCharacters) return label;
    return label.substr(0, text::byteOffsetOfCharacter(label, legendLabelCharacters - 1)) + "…";
}

}  // namespace

std::string renderSVGChart(const ChartSpec& chart) {
    std::vector<CleanSeries> series;
    for (const TimeSeries& s : chart.series)
        series.push_back(clean(s));

    // Legend rows, laid out left to right at about 7 px a character.
    std::vector<std::pair<double, int>> legendPlaces;
    double legendX = plotLeft;
    int legendRows = chart.series.empty() ? 0 : 1;
    for (const TimeSeries& s : chart.series) {
        const double width =
            36 + 7.5 * static_cast<double>(text::characterCount(truncatedLabel(s.label)));
        if (legendX + width > plotRight && legendX > plotLeft) {
            legendX = plotLeft;
            ++legendRows;
        }
        legendPlaces.emplace_back(legendX, legendRows - 1);
        legendX += width;
    }
    const int height = chartHeightPx + std::max(0, legendRows - 1) * legendRowPx;

    Frame frame;
    frame.top = 16 + legendRows * legendRowPx;
    frame.bottom = height - 48;
    bool haveData = false;
    double dataT0 = 0, dataT1 = 0, dataLo = 0, dataHi = 0;
    for (const CleanSeries& s : series) {
        if (s.times.empty()) continue;
        dataT0 = haveData ? std::min(dataT0, s.times.front()) : s.times.front();
        dataT1 = haveData ? std::max(dataT1, s.times.back()) : s.times.back();
        const auto [low, high] = std::minmax_element(s.values.begin(), s.values.end());
        dataLo = std::min(dataLo, *low);
        dataHi = haveData ? std::max(dataHi, *high) : *high;
        haveData = true;
    }
    frame.t0 = chart.timeStart ? chart.timeStart->timeIntervalSince1970() : dataT0;
    frame.t1 = chart.timeEnd ? chart.timeEnd->timeIntervalSince1970() : dataT1;
    if (!(frame.t1 > frame.t0)) {
        frame.t0 -= 30;
        frame.t1 = frame.t0 + 60;
    }
    Stack stacked;
    if (chart.style == ChartStyle::stackedAreas) {
        stacked = stack(series, frame, chart.gapS);
        dataLo = 0;
        dataHi = 0;
        if (!stacked.tops.empty() && !stacked.tops.back().empty())
            dataHi = *std::max_element(stacked.tops.back().begin(), stacked.tops.back().end());
    }
    frame.lo = std::min(0.0, dataLo);
    frame.hi = chart.valueMax.value_or(std::max(dataHi, frame.lo));
    if (!(frame.hi > frame.lo)) frame.hi = frame.lo + 1;
    frame.valueStep = niceStep((frame.hi - frame.lo) / 5);
    frame.lo = std::floor(frame.lo / frame.valueStep) * frame.valueStep;
    frame.hi = std::ceil(frame.hi / frame.valueStep - 1e-9) * frame.valueStep;

    const std::string W = std::to_string(chartWidthPx), H = std::to_string(height);
    std::string svg;
    svg.reserve(16384);
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" + W +
           "\" height=\"" + H + "\" viewBox=\"0 0 " + W + " " + H +
           "\" role=\"img\" aria-label=\"" + escapedMarkup(chart.title) +
           "\" font-family=\"sans-serif\" font-size=\"13\">";
    svg += "<title>" + escapedMarkup(chart.title) + "</title>";
    svg += "<rect width=\"" + W + "\" height=\"" + H + "\" fill=\"#ffffff\"/>";
    svg += "<rect x=\"" + std::to_string(plotLeft) + "\" y=\"" + px(frame.top) + "\" width=\"" +
           std::to_string(plotRight - plotLeft) + "\" height=\"" + px(frame.bottom - frame.top) +
           "\" fill=\"" + plotBackground + "\"/>";

    for (const auto& [from, to] : chart.shaded) {
        const double x0 = frame.x(std::max(frame.t0, from.timeIntervalSince1970()));
        const double x1 = frame.x(std::min(frame.t1, to.timeIntervalSince1970()));
        if (!(x1 > x0)) continue;
        svg += "<rect x=\"" + px(x0) + "\" y=\"" + px(frame.top) + "\" width=\"" + px(x1 - x0) +
               "\" height=\"" + px(frame.bottom - frame.top) + "\" fill=\"" + shadeColor +
               "\"><title>" + escapedMarkup(chart.shadedLabel) + "</title></rect>";
    }

    // Value axis: grid lines and labels, the unit written upright beside them.
    for (double v = frame.lo; v <= frame.hi + frame.valueStep * 1e-6; v += frame.valueStep) {
        const std::string y = px(frame.y(v));
        svg += "<line x1=\"" + std::to_string(plotLeft) + "\" x2=\"" + std::to_string(plotRight) +
               "\" y1=\"" + y + "\" y2=\"" + y + "\" stroke=\"" + gridColor + "\"/>";
        svg += "<text x=\"" + std::to_string(plotLeft - 8) + "\" y=\"" + y +
               "\" dy=\"4\" text-anchor=\"end\" fill=\"" + labelColor + "\">" +
               valueLabel(v, frame.valueStep) + "</text>";
    }
    svg += "<text transform=\"translate(16 " + px((frame.top + frame.bottom) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" fill=\"" + labelColor + "\">" +
           escapedMarkup(chart.unit) + "</text>";

    // Time axis: grid lines and local-time labels, the time zone below them.
    double timeStep = 0;
    const auto ticks = timeTicks(frame.t0, frame.t1, timeStep);
    const char* format = timeFormat(timeStep, frame.t1 - frame.t0);
    for (const double t : ticks) {
        const std::string x = px(frame.x(t));
        svg += "<line x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + px(frame.top) + "\" y2=\"" +
               px(frame.bottom) + "\" stroke=\"" + gridColor + "\"/>";
        svg += "<text x=\"" + x + "\" y=\"" + px(frame.bottom + 18) +
               "\" text-anchor=\"middle\" fill=\"" + labelColor + "\">" +
               escapedMarkup(timeLabel(t, format)) + "</text>";
    }
    svg += "<text x=\"" + px((plotLeft + plotRight) / 2.0) + "\" y=\"" + px(frame.bottom + 38) +
           "\" text-anchor=\"middle\" fill=\"" + labelColor + "\">" +
           escapedMarkup("local time (" + timeLabel(frame.t0, "%Z") + ")") + "</text>";

    // The series.
    if (chart.style == ChartStyle::stackedAreas) {
        std::size_t group = 0;
        for (const auto& run : stacked.runs) {
            for (std::size_t s = 0; s < series.size(); ++s) {
                std::string points;
                for (std::size_t g = group; g < group + run.size(); ++g)
                    points +=
                        px(frame.x(stacked.times[g])) + "," + px(frame.y(stacked.tops[s][g])) + " ";
                for (std::size_t g = group + run.size(); g-- > group;)
                    points += px(frame.x(stacked.times[g])) + "," +
                              px(frame.y(s == 0 ? 0.0 : stacked.tops[s - 1][g])) + " ";
                // A series of no height in this run paints nothing (a stroke would draw a
                // band along the top of the stack).
                bool hasHeight = false;
                for (std::size_t g = group; g < group + run.size(); ++g)
                    hasHeight |= stacked.tops[s][g] > (s == 0 ? 0.0 : stacked.tops[s - 1][g]);
                if (!hasHeight) continue;
                svg += "<polygon points=\"" + points + "\" fill=\"" + colorOf(s) +
                       "\" fill-opacity=\"0.8\"/>";
            }
            group += run.size();
        }
    } else {
        for (std::size_t s = 0; s < series.size(); ++s) {
            for (const Segment& segment : lineSegments(series[s], frame, chart.gapS)) {
                if (segment.size() == 1) {
                    svg += "<circle cx=\"" + px(segment[0].first) + "\" cy=\"" +
                           px(segment[0].second) + "\" r=\"3\" fill=\"" + colorOf(s) + "\"/>";
                    continue;
                }
                std::string points;
                for (const auto& [x, y] : segment)
                    points += px(x) + "," + px(y) + " ";
                svg += "<polyline points=\"" + points + "\" fill=\"none\" stroke=\"" + colorOf(s) +
                       "\" stroke-width=\"2\" stroke-linejoin=\"round\"/>";
            }
        }
    }
    svg += tooltips(chart, series, frame);
    if (!haveData) {
        svg += "<text x=\"" + px((plotLeft + plotRight) / 2.0) + "\" y=\"" +
               px((frame.top + frame.bottom) / 2) + "\" text-anchor=\"middle\" fill=\"" +
               labelColor + "\">no data in this window</text>";
    }

    // Axis lines last, over the series, at whole pixels so that they stay crisp.
    svg += "<rect x=\"" + std::to_string(plotLeft - 2) + "\" y=\"" + px(std::floor(frame.top)) +
           "\" width=\"2\" height=\"" + px(std::ceil(frame.bottom - frame.top)) + "\" fill=\"" +
           chartAxisColor + "\"/>";
    svg += "<rect x=\"" + std::to_string(plotLeft - 2) + "\" y=\"" + px(std::floor(frame.bottom)) +
           "\" width=\"" + std::to_string(plotRight - plotLeft + 2) + "\" height=\"2\" fill=\"" +
           chartAxisColor + "\"/>";

    for (std::size_t s = 0; s < chart.series.size(); ++s) {
        const auto [x, row] = legendPlaces[s];
        const double y = 10 + row * legendRowPx;
        svg += "<rect x=\"" + px(x) + "\" y=\"" + px(y) + "\" width=\"12\" height=\"12\" fill=\"" +
               colorOf(s) + "\"/>";
        svg += "<text x=\"" + px(x + 18) + "\" y=\"" + px(y + 11) + "\" fill=\"#222222\">" +
               escapedMarkup(truncatedLabel(chart.series[s].label)) + "</text>";
    }
    svg += "</svg>";
    return svg;
}

}  // namespace joulix
