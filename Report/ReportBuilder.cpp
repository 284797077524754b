#include "Report/ReportBuilder.h"

#include "SharedModels/Presentation/GraphBuildEngine.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace joulix {
namespace {

constexpr int64_t graphMaxPoints = 600;
constexpr double maxIntervalS = 60;

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

std::string watts(double w) {
    return text::formatted("%.2f", w);
}

TimeSeries seriesOf(const ChartSeries& series) {
    TimeSeries drawn{series.label, {}};
    drawn.points.reserve(series.points.size());
    for (const ChartPoint& point : series.points)
        drawn.points.push_back({point.timestamp, point.y});
    return drawn;
}

std::vector<TimeSeries> seriesOf(const std::vector<ChartSeries>& series) {
    std::vector<TimeSeries> drawn;
    for (const ChartSeries& one : series)
        drawn.push_back(seriesOf(one));
    return drawn;
}

// Hours the window was sampled (gaps capped), as the details' averages divide by.
double sampleHours(const DetailsPipelineOutput& details) {
    const double totalWh = details.energySummary.totalWh;
    const double averageW = details.componentAverages.totalW;
    return totalWh > 0 && averageW > 0 ? totalWh / averageW : 0;
}

ReportSection powerSection(const GraphBuildPayload& payload, const DetailsPipelineOutput& details,
                           const ChartSpec& frame) {
    ChartSpec total = frame, split = frame;
    total.title = "System power: smoothed and raw";
    total.unit = "W";
    total.series = {{"smoothed", {}},
                    seriesOf(ChartSeries{"raw", "raw", details.systemPowerPoints})};
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

// Chart snapshots are every stride-th of the window: an interval between two of them stands for
// up to stride recorded ones, so the cap on an interval grows with it.
double chartStride(const ReportInput& input) {
    return input.chartSnapshots.empty()
               ? 1
               : std::max(1.0, std::round(static_cast<double>(input.details.snapshotCount) /
                                          static_cast<double>(input.chartSnapshots.size())));
}

// Running energy over the chart's snapshots, intervals capped as chartStride says.
ReportSection energySection(const ReportInput& input, const ChartSpec& frame) {
    const auto& snapshots = input.chartSnapshots;
    const double stride = chartStride(input);
    ChartSpec energy = frame;
    energy.title = "Cumulative energy";
    energy.unit = "Wh";
    energy.series = {{"total", {}}, {"on battery", {}}};
    double totalWh = 0, batteryWh = 0;
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        if (i > 0) {
            const DrainSnapshot &a = snapshots[i - 1], &b = snapshots[i];
            const double dt =
                b.timestamp.timeIntervalSince1970() - a.timestamp.timeIntervalSince1970();
            if (dt > 0) {
                const double wh = std::min(dt, maxIntervalS * stride) / 3600 *
                                  std::max(0.0, (a.totalDischargeW + b.totalDischargeW) / 2);
                totalWh += wh;
                // The later snapshot's flag decides, the earlier one's when it has none.
                const auto flag = [](const DrainSnapshot& s) {
                    return s.powerContext ? std::optional(s.powerContext->onBatteryPower)
                                          : std::nullopt;
                };
                if (flag(b).value_or(flag(a).value_or(false))) batteryWh += wh;
            }
        }
        energy.series[0].points.push_back({snapshots[i].timestamp, totalWh});
        energy.series[1].points.push_back({snapshots[i].timestamp, batteryWh});
    }
    const auto& summary = input.details.energySummary;
    std::string note = wattHours(summary.totalWh) + " Wh in all, " + wattHours(summary.batteryWh) +
                       " Wh on battery, over " + windowText(summary.trackedHours * 3600) +
                       " recorded.";
    if (stride > 1)
        note += text::formatted(" The curve is drawn from every %.0fth snapshot.", stride);
    return {"Energy", note, {energy}, std::nullopt};
}

std::string healthText(const BatteryStatusSample& battery) {
    std::string textOut;
    if (battery.maxCapacityMah && battery.designCapacityMah && *battery.designCapacityMah > 0) {
        const auto full = static_cast<double>(*battery.maxCapacityMah);
        const auto design = static_cast<double>(*battery.designCapacityMah);
        textOut = "Health: full charge " + std::to_string(*battery.maxCapacityMah) + " of " +
                  std::to_string(*battery.designCapacityMah) + " mAh designed (" +
                  text::formatted("%.0f %%", 100 * full / design) + ")";
    }
    if (battery.cycleCount) {
        textOut += (textOut.empty() ? "Health: " : ", ") + std::to_string(*battery.cycleCount) +
                   " charge cycles";
    }
    return textOut.empty() ? "" : textOut + ".";
}

// The battery's average power over the window while charging (positive) or discharging
// (negative), from the change of its stored energy over the intervals whose two snapshots are
// both in that state. Longer intervals (recording stopped) are left out: nothing says what the
// battery did then. Absent without such an interval.
std::optional<double> windowBatteryRateW(const std::vector<DrainSnapshot>& snapshots, bool charging,
                                         double maxIntervalSeconds) {
    const auto inState = [&](const DrainSnapshot& s) {
        const auto& battery = s.batteryStatus;
        if (!battery || !battery->remainingWh) return false;
        return charging ? battery->isCharging
                        : !battery->isCharging && !battery->externalPowerConnected;
    };
    double wh = 0, hours = 0;
    for (std::size_t i = 1; i < snapshots.size(); ++i) {
        const DrainSnapshot &a = snapshots[i - 1], &b = snapshots[i];
        const double dt = b.timestamp.timeIntervalSince1970() - a.timestamp.timeIntervalSince1970();
        if (!(dt > 0) || dt > maxIntervalSeconds || !inState(a) || !inState(b)) continue;
        wh += *b.batteryStatus->remainingWh - *a.batteryStatus->remainingWh;
        hours += dt / 3600;
    }
    if (!(hours > 0)) return std::nullopt;
    return wh / hours;
}

// Time to empty and to full at the window's average discharge and charge, from the energy the
// newest snapshot's battery holds (and would hold when full, by its level).
std::vector<std::string> windowTimeLines(const ReportInput& input) {
    const auto& newest = input.details.rangeSnapshot.batteryStatus;
    if (!newest || !newest->remainingWh) {
        return {
            "No energy stored in the battery was recorded, so there is no time to empty or to full "
            "at the window's average rate."};
    }
    const double remainingWh = *newest->remainingWh;
    const double maxInterval = maxIntervalS * chartStride(input);
    std::vector<std::string> lines;
    if (const auto rate = windowBatteryRateW(input.chartSnapshots, false, maxInterval);
        rate && *rate < 0) {
        lines.push_back(
            text::formatted("Over the window the battery discharged at %.1f W", -*rate) +
            text::formatted(" on average: at that rate its %.1f Wh", remainingWh) +
            text::formatted(" last %.1f h.", remainingWh / -*rate));
    }
    if (const auto rate = windowBatteryRateW(input.chartSnapshots, true, maxInterval);
        rate && *rate > 0 && newest->levelPercent && *newest->levelPercent > 0) {
        const double toFullWh =
            std::max(0.0, remainingWh * 100 / *newest->levelPercent - remainingWh);
        lines.push_back(text::formatted("It charged at %.1f W on average:", *rate) +
                        text::formatted(" at that rate it is full in %.1f h.", toFullWh / *rate));
    }
    return lines;
}

ReportSection batterySection(const ReportInput& input, const ChartSpec& frame) {
    const DetailsPipelineOutput& details = input.details;
    ChartSpec level = frame;
    level.title = "Battery level";
    level.unit = "%";
    level.valueMax = 100;
    level.series = {{"level", {}}};
    for (const DrainSnapshot& snapshot : input.chartSnapshots) {
        if (snapshot.powerContext && snapshot.powerContext->batteryLevelPercent) {
            level.series[0].points.push_back(
                {snapshot.timestamp, *snapshot.powerContext->batteryLevelPercent});
        }
    }
    if (level.series[0].points.empty()) {
        const bool batteryRead =
            std::any_of(input.chartSnapshots.begin(), input.chartSnapshots.end(),
                        [](const DrainSnapshot& snapshot) { return snapshot.batteryStatus; });
        return {"Battery",
                batteryRead ? "No battery level: the battery reported nothing it can be derived "
                              "from in this window."
                            : "No battery: no battery level was recorded in this window.",
                {},
                {}};
    }

    std::vector<std::string> lines;
    if (details.batteryDrainRatePerHour) {
        const double rate = *details.batteryDrainRatePerHour;
        lines.push_back("Level changes " + text::formatted("%+.1f", rate) +
                        " % per hour (over the last 15 minutes of readings, or all of them).");
        const double levelNow = level.series[0].points.back().value;
        if (rate < 0) {
            lines.push_back(
                text::formatted("At that rate the battery is empty in %.1f h.", levelNow / -rate));
        } else if (rate > 0) {
            lines.push_back(text::formatted("At that rate the battery is full in %.1f h.",
                                            (100 - levelNow) / rate));
        }
    } else {
        lines.push_back("No drain rate: fewer than two battery readings far enough apart.");
    }
    for (std::string& line : windowTimeLines(input))
        lines.push_back(std::move(line));
    if (const auto& battery = details.rangeSnapshot.batteryStatus) {
        if (const std::string health = healthText(*battery); !health.empty())
            lines.push_back(health);
    }
    std::string note;
    for (const std::string& line : lines)
        note += (note.empty() ? "" : " ") + line;
    return {"Battery", note, {level}, std::nullopt};
}

ReportSection applicationSection(const DetailsPipelineOutput& details, const ChartSpec& frame) {
    ChartSpec power = frame, energy = frame;
    power.title = "Top applications: power";
    power.unit = "W";
    power.series = seriesOf(details.appPowerSeries);
    energy.title = "Top applications: energy";
    energy.unit = "Wh";
    energy.series = seriesOf(details.appEnergySeries);
    ReportTable table = applicationTable(details);
    if (table.rows.empty())
        return {"Applications", "No application drew energy in this window.", {power, energy}, {}};
    return {"Applications", "", {power, energy}, std::move(table)};
}

ReportSection hiddenSection(const DetailsPipelineOutput& details) {
    ReportTable table{{"Kind", "Workload", "Wh", "Latest W"}, {}, {false, false, true, true}};
    for (const HiddenDrain& hidden : details.hiddenDrains) {
        const auto wh = details.hiddenTotalWhByID.find(hidden.id());
        table.rows.push_back({std::string(rawValue(hidden.kind)), hidden.identifier,
                              wattHours(wh == details.hiddenTotalWhByID.end() ? 0 : wh->second),
                              watts(hidden.drainW)});
    }
    if (table.rows.empty()) return {"Hidden workloads", "None in this window.", {}, std::nullopt};
    return {"Hidden workloads", "", {}, table};
}

// Components this machine never measured read exactly 0 over the whole window: they are said to
// be not measured rather than shown as 0.00 W.
ReportSection componentSection(const ComponentAverages& averages) {
    ReportTable table{{"Component", "Average W"}, {}, {false, true}};
    for (const auto& [name, value] : {std::pair{"total", averages.totalW},
                                      {"processes", averages.processW},
                                      {"display", averages.screenW},
                                      {"USB", averages.usbW},
                                      {"unattributed", averages.unattributedW}})
        table.rows.push_back({name, watts(value)});
    for (const auto& [name, value] : {std::pair{"CPU", averages.cpuW},
                                      {"GPU", averages.gpuW},
                                      {"neural engine", averages.aneW},
                                      {"memory", averages.ramW},
                                      {"PCI", averages.pciW}})
        table.rows.push_back({name, value == 0 ? "not measured" : watts(value)});
    return {"Component averages", "", {}, table};
}

// Where the total power of the drawn snapshots came from, and how many were estimates: on
// battery the battery's discharge is measured; on AC the total is the processor package (RAPL)
// plus modelled display and USB power, an estimate. The window's details do not count its
// estimates, so the count is of the drawn snapshots, and the line says which share they are.
std::string powerSourceLine(const ReportInput& input) {
    const std::vector<DrainSnapshot>& snapshots = input.chartSnapshots;
    std::size_t battery = 0, rapl = 0, modelled = 0, unknown = 0;
    for (const DrainSnapshot& snapshot : snapshots) {
        if (!snapshot.telemetry) {
            ++unknown;
        } else if (!snapshot.telemetry->usedEstimatedTotalPower) {
            ++battery;
        } else if (snapshot.telemetry->powermetricsHasPackagePower) {
            ++rapl;
        } else {
            ++modelled;
        }
    }
    std::string line = "Power source: ";
    const auto add = [&](std::size_t count, const char* what) {
        if (count == 0) return;
        if (line.back() != ' ') line += ", ";
        line += what + std::string(" (") + std::to_string(count) + ")";
    };
    add(battery, "battery discharge");
    add(rapl, "RAPL package power plus display and USB estimates");
    add(modelled, "display and USB estimates only");
    add(unknown, "not recorded");
    line += "; " + std::to_string(rapl + modelled) + " of the " + std::to_string(snapshots.size()) +
            " snapshots drawn";
    if (const double stride = chartStride(input); stride > 1) {
        line += text::formatted(" (one in %.0f of the window's ", stride) +
                std::to_string(input.details.snapshotCount) + ")";
    }
    return line + " are estimates.";
}

std::string zoneName(Date when) {
    const auto seconds = static_cast<std::time_t>(when.timeIntervalSince1970());
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char buffer[16];
    return std::string(buffer, std::strftime(buffer, sizeof buffer, "%Z", &local));
}

// Runs of snapshots on AC power, each from its first snapshot to the first one after it.
std::vector<std::pair<Date, Date>> acPeriods(const std::vector<DrainSnapshot>& snapshots) {
    std::vector<std::pair<Date, Date>> periods;
    bool open = false;
    for (const DrainSnapshot& snapshot : snapshots) {
        const bool onAC = snapshot.powerContext && !snapshot.powerContext->onBatteryPower;
        if (onAC && !open) periods.push_back({snapshot.timestamp, snapshot.timestamp});
        if (open || onAC) periods.back().second = snapshot.timestamp;
        open = onAC;
    }
    return periods;
}

}  // namespace

bool isKernelThreadName(std::string_view name) {
    return name.size() > 2 && name.front() == '[' && name.back() == ']';
}

ReportTable applicationTable(const DetailsPipelineOutput& details) {
    struct Row {
        std::string name;
        double wh = 0;
        std::size_t processes = 0;
    };
    std::vector<Row> rows;
    Row kernel{"kernel"};
    for (const ProcessGroup& group : details.processGroups) {
        if (!(group.totalEnergyWh > 0)) continue;
        const std::string& name = group.canonicalName;
        Row& row = isKernelThreadName(name) || isKernelThreadName(group.iconProcess.name)
                       ? kernel
                       : rows.emplace_back(Row{name});
        row.wh += group.totalEnergyWh;
        row.processes += group.processes.size();
    }
    if (kernel.wh > 0) rows.push_back(kernel);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.wh > b.wh; });

    const double totalWh = details.energySummary.totalWh;
    const double hours = sampleHours(details);
    ReportTable table{{"Application", "Wh", "Share", "Average W", "Processes"},
                      {},
                      {false, true, true, true, true}};
    for (const Row& row : rows) {
        table.rows.push_back(
            {row.name, wattHours(row.wh),
             totalWh > 0 ? text::formatted("%.1f %%", 100 * row.wh / totalWh) : "-",
             hours > 0 ? watts(row.wh / hours) : "-", std::to_string(row.processes)});
    }
    return table;
}

ReportPage buildReportPage(const ReportInput& input) {
    const DetailsPipelineOutput& details = input.details;
    ReportPage page{.title = "Joulix power report"};
    page.summaryLines = {"History " + input.databasePath,
                         "Window: the " + windowText(input.windowS) +
                             " up to the newest snapshot; times are local (" +
                             zoneName(details.windowEnd) + ")"};
    if (details.snapshotCount == 0 || input.chartSnapshots.empty()) {
        page.message = "No snapshots were recorded in this window. Record some with `joulix "
                       "record`, or choose a longer --window.";
        return page;
    }
    page.summaryLines.push_back(std::to_string(details.snapshotCount) + " snapshots from " +
                                localTimeText(details.windowStart) + " to " +
                                localTimeText(details.windowEnd));
    page.summaryLines.push_back(powerSourceLine(input));

    const GraphPeriodSpec period{windowText(input.windowS), input.windowS, graphMaxPoints};
    const GraphBuildPayload payload = GraphBuildEngine::rebuildPayload(
        {input.chartSnapshots, input.chartSnapshots.back(), period}, nullptr, std::nullopt);
    // Charts span the recorded data; lines break where recording stopped for a while.
    ChartSpec frame{.timeStart = details.windowStart, .timeEnd = details.windowEnd};
    frame.gapS = std::max(300.0, 3 * input.windowS / graphMaxPoints);
    frame.shaded = acPeriods(input.chartSnapshots);
    frame.shadedLabel = "on AC power";
    if (!frame.shaded.empty())
        page.summaryLines.push_back("Shaded on the charts: periods on AC power (charging).");
    page.sections = {powerSection(payload, details, frame),
                     energySection(input, frame),
                     batterySection(input, frame),
                     applicationSection(details, frame),
                     hiddenSection(details),
                     componentSection(details.componentAverages)};
    return page;
}

}  // namespace joulix
