#include "Report/ReportBuilder.h"

#include "SharedModels/Presentation/GraphBuildEngine.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>

namespace joulix {
namespace {

constexpr int64_t graphMaxPoints = 600;

std::string localTimeText(Date when) {
    const auto seconds = static_cast<std::time_t>(when.timeIntervalSince1970());
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char buffer[40];
    return std::string(buffer,
                       std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S %Z", &local));
}

std::string windowText(double seconds) {
    if (seconds >= 86400 && std::fmod(seconds, 86400) == 0)
        return text::formatted("%.0f d", seconds / 86400);
    if (seconds >= 3600) return text::formatted("%.4g h", seconds / 3600);
    if (seconds >= 60) return text::formatted("%.4g min", seconds / 60);
    return text::formatted("%.4g s", seconds);
}

std::string wattHours(double wh) {
    return text::formatted("%.3f", wh);
}

// Application lines, one series per application in order of first appearance.
std::vector<TimeSeries> applicationSeries(const std::vector<AppPowerPoint>& points) {
    std::vector<TimeSeries> series;
    std::map<std::string, std::size_t> indexByName;
    for (const AppPowerPoint& point : points) {
        const auto [found, added] = indexByName.try_emplace(point.appName, series.size());
        if (added) series.push_back({point.appName, {}});
        series[found->second].points.push_back({point.timestamp, point.watts});
    }
    return series;
}

ReportSection powerSection(const GraphBuildPayload& payload, const ChartSpec& frame) {
    ChartSpec total = frame, split = frame;
    total.title = "Smoothed system power";
    total.unit = "W";
    total.series = {{"total", {}}};
    split.title = "Where the power went";
    split.unit = "W";
    split.style = ChartStyle::stackedAreas;
    split.series = {{"processes", {}}, {"display and USB", {}}, {"unattributed", {}}};
    for (const PowerTrendPoint& point : payload.smoothedTrend) {
        total.series[0].points.push_back({point.timestamp, point.totalW});
        split.series[0].points.push_back({point.timestamp, point.processW});
        split.series[1].points.push_back({point.timestamp, point.componentW});
        split.series[2].points.push_back({point.timestamp, point.unattributedW});
    }
    return {"System power", "", {total, split}, std::nullopt};
}

ReportSection energySection(const GraphBuildPayload& payload, const ChartSpec& frame) {
    ChartSpec energy = frame;
    energy.title = "Cumulative energy";
    energy.unit = "Wh";
    energy.series = {{"total", {}}, {"on battery", {}}};
    for (const EnergyTrendPoint& point : payload.energyTrend) {
        energy.series[0].points.push_back({point.timestamp, point.totalWh});
        energy.series[1].points.push_back({point.timestamp, point.batteryWh});
    }
    const auto& summary = payload.rangeEnergySummary;
    return {"Energy",
            wattHours(summary.totalWh) + " Wh in all, " + wattHours(summary.batteryWh) +
                " Wh on battery, over " + windowText(summary.trackedHours * 3600) + " recorded",
            {energy},
            std::nullopt};
}

ReportSection batterySection(const GraphBuildPayload& payload, const ChartSpec& frame) {
    ChartSpec level = frame;
    level.title = "Battery level";
    level.unit = "%";
    level.valueMax = 100;
    level.series = {{"level", {}}};
    for (const BatteryLevelPoint& point : payload.batteryLevel)
        level.series[0].points.push_back({point.timestamp, point.levelPercent});
    const std::string note =
        payload.batteryDrainRatePerHour
            ? "Drain rate " + text::formatted("%+.1f", *payload.batteryDrainRatePerHour) +
                  " % per hour (over the last 15 minutes of readings, or all of them)"
            : "No drain rate: fewer than two battery readings far enough apart";
    return {"Battery", note, {level}, std::nullopt};
}

ReportSection applicationSection(const GraphBuildPayload& payload,
                                 const DetailsPipelineOutput& details, const ChartSpec& frame) {
    ChartSpec power = frame, energy = frame;
    power.title = "Top applications: power";
    power.unit = "W";
    power.series = applicationSeries(payload.appPowerTrend);
    energy.title = "Top applications: energy";
    energy.unit = "Wh";
    energy.series = applicationSeries(payload.appEnergyTrend);

    double groupsWh = 0;
    for (const ProcessGroup& group : details.processGroups)
        groupsWh += group.totalEnergyWh;
    const double hours = details.energySummary.trackedHours;
    ReportTable table{{"Application", "Wh", "Share", "Average W", "Processes"},
                      {},
                      {false, true, true, true, true}};
    for (const ProcessGroup& group : details.processGroups) {
        table.rows.push_back(
            {group.canonicalName, wattHours(group.totalEnergyWh),
             groupsWh > 0 ? text::formatted("%.1f %%", 100 * group.totalEnergyWh / groupsWh) : "-",
             text::formatted("%.2f", hours > 0 ? group.totalEnergyWh / hours : group.totalDrainW),
             std::to_string(group.processes.size())});
    }
    return {"Applications", "", {power, energy}, table};
}

ReportSection hiddenSection(const DetailsPipelineOutput& details) {
    ReportTable table{{"Kind", "Workload", "Wh", "Latest W"}, {}, {false, false, true, true}};
    for (const HiddenDrain& hidden : details.hiddenDrains) {
        const auto wh = details.hiddenTotalWhByID.find(hidden.id());
        table.rows.push_back({std::string(rawValue(hidden.kind)), hidden.identifier,
                              wattHours(wh == details.hiddenTotalWhByID.end() ? 0 : wh->second),
                              text::formatted("%.2f", hidden.drainW)});
    }
    if (table.rows.empty()) return {"Hidden workloads", "None in this window.", {}, std::nullopt};
    return {"Hidden workloads", "", {}, table};
}

ReportSection componentSection(const ComponentAverages& averages) {
    ReportTable table{{"Component", "Average W"}, {}, {false, true}};
    for (const auto& [name, watts] : {std::pair{"total", averages.totalW},
                                      {"processes", averages.processW},
                                      {"display", averages.screenW},
                                      {"USB", averages.usbW},
                                      {"unattributed", averages.unattributedW},
                                      {"CPU", averages.cpuW},
                                      {"GPU", averages.gpuW},
                                      {"neural engine", averages.aneW},
                                      {"memory", averages.ramW},
                                      {"PCI", averages.pciW}})
        table.rows.push_back({name, text::formatted("%.2f", watts)});
    return {"Component averages", "", {}, table};
}

}  // namespace

ReportPage buildReportPage(ReportInput input) {
    const std::string& path = input.databasePath;
    const double windowS = input.windowS;
    const Date now = input.windowEnd;
    std::vector<DrainSnapshot> snapshots = std::move(input.snapshots);
    ReportPage page{.title = "Joulix power report"};
    page.summaryLines = {"History " + path,
                         "Window: the " + windowText(windowS) + " before " + localTimeText(now)};
    if (snapshots.empty()) {
        page.message = "No snapshots were recorded in this window. Record some with `joulix "
                       "record`, or choose a longer --window.";
        return page;
    }
    const GraphPeriodSpec period{windowText(windowS), windowS, graphMaxPoints};
    const DrainSnapshot fallback = snapshots.back();
    const GraphBuildPayload payload =
        GraphBuildEngine::rebuildPayload({snapshots, fallback, period}, nullptr, std::nullopt);
    const DetailsPipelineOutput details = GraphBuildEngine::rebuildDetailsOutput(
        std::move(snapshots), fallback, period, nullptr, std::nullopt);

    page.summaryLines.push_back(std::to_string(details.snapshotCount) + " snapshots from " +
                                localTimeText(details.windowStart) + " to " +
                                localTimeText(details.windowEnd));
    // Charts span the recorded data; lines break where recording stopped for a while.
    ChartSpec frame{.timeStart = details.windowStart, .timeEnd = details.windowEnd};
    frame.gapS = std::max(300.0, 3 * windowS / graphMaxPoints);
    page.sections = {
        powerSection(payload, frame),   energySection(payload, frame),
        batterySection(payload, frame), applicationSection(payload, details, frame),
        hiddenSection(details),         componentSection(payload.rangeComponentAverage)};
    return page;
}

}  // namespace joulix
