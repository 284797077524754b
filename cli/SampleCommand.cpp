// joulix sample [--json] [--top N]: one whole sampling pass on this machine (processes,
// powermetrics, battery, display and USB estimates). Prints the total power and its source, the
// battery and the busiest processes with their CPU % and powermetrics watts; with --json, the
// pass's result as {"input", "metadata", "batteryStatus"} in the records' JSON form. With
// DEBUG_BENCHMARK=1 the pass is timed into the profiler's trace (see joulix trace-summary).
#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "cli/Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace joulix::cli {
namespace {

struct SampleOptions {
    bool json = false;
    int64_t top = 15;
};

nlohmann::ordered_json resultJSON(const AttributionBuildResult& result) {
    nlohmann::ordered_json json;
    json["input"] = nlohmann::ordered_json::parse(SnapshotCodec::encode(result.input));
    json["metadata"] =
        nlohmann::ordered_json::parse(SnapshotCodec::encode(result.metadata.sourceTelemetry()));
    if (result.batteryStatus) {
        json["batteryStatus"] =
            nlohmann::ordered_json::parse(SnapshotCodec::encode(*result.batteryStatus));
    }
    return json;
}

// The source of the total, in the builder's words.
std::string powerSource(const AttributionBuildResult& result) {
    if (result.metadata.usedEstimatedTotalPower) return "PM-Package+Components";
    return result.input.totalDischargeW > 0 ? "IOKit" : "none";
}

std::string batteryLine(const std::optional<BatteryStatusSample>& battery) {
    if (!battery) return "no battery status";
    std::string line = text::formatted("%.1f %%", battery->levelPercent);
    line += battery->isCharging               ? ", charging"
            : battery->externalPowerConnected ? ", on external power"
                                              : ", discharging";
    if (battery->dischargeWatts) line += text::formatted(" at %.2f W", *battery->dischargeWatts);
    if (battery->systemTimeRemainingMinutes) {
        line += ", " + std::to_string(*battery->systemTimeRemainingMinutes) + " min remaining";
    }
    return line;
}

void printSummary(const AttributionBuildResult& result, int64_t top) {
    const auto& input = result.input;
    const auto& metadata = result.metadata;
    std::cout << "Total power   " << text::formatted("%.2f W", input.totalDischargeW) << " (source "
              << powerSource(result) << ")\n";
    std::cout << "Battery       " << batteryLine(result.batteryStatus) << "\n";
    std::cout << "powermetrics  "
              << (metadata.powermetricsCommandOK
                      ? std::to_string(metadata.powermetricsParsedProcessCount) + " processes" +
                            (metadata.powermetricsHasPackagePower ? ", package power" : "")
                      : std::string("unavailable"))
              << "\n";
    std::cout << "Display, USB  " << text::formatted("%.2f W", input.screenModelW) << ", "
              << text::formatted("%.2f W", input.usbModelW) << "\n";

    std::vector<const ProcessSample*> processes;
    for (const auto& sample : input.processes)
        processes.push_back(&sample);
    std::stable_sort(processes.begin(), processes.end(), [](const auto* a, const auto* b) {
        const double aW = a->powermetricsPackageW.value_or(0);
        const double bW = b->powermetricsPackageW.value_or(0);
        return aW != bW ? aW > bW : a->cpuPercent > b->cpuPercent;
    });
    processes.resize(
        std::min<size_t>(processes.size(), static_cast<size_t>(std::max<int64_t>(top, 0))));

    std::cout << "\n";
    char row[96];
    std::snprintf(row, sizeof row, "%8s  %6s  %8s  %s\n", "PID", "CPU %", "PM W", "NAME");
    std::cout << row;
    for (const auto* sample : processes) {
        const std::string watts = sample->powermetricsPackageW
                                      ? text::formatted("%.3f", *sample->powermetricsPackageW)
                                      : std::string("-");
        std::snprintf(row, sizeof row, "%8lld  %6.1f  %8s  ", static_cast<long long>(sample->pid),
                      sample->cpuPercent, watts.c_str());
        std::cout << row << sample->name << "\n";
    }
}

void runSample(const SampleOptions& options) {
    const auto shell = std::make_shared<DefaultShellRunner>();
    const LiveAttributionInputBuilder builder{
        ProcessSampler(shell), PowermetricsCollector(shell), DisplayPowerEstimator(shell),
        USBPowerEstimator(shell), BatteryStatusCollector(shell)};
    const AttributionBuildResult result = builder.buildWithMetadata({}, false);
    builder.componentProfiler->flush();

    if (options.json) {
        std::cout << resultJSON(result).dump() << "\n";
        return;
    }
    printSummary(result, options.top);
    if (builder.componentProfiler->isEnabled()) {
        std::cout << "\nProfiler trace: " << builder.componentProfiler->traceFilePath() << "\n";
    }
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<SampleOptions>();
    auto* command = app.add_subcommand("sample", "Run one sampling pass and print what it found");
    command->add_flag("--json", options->json,
                      "Print the pass's input, metadata and battery status as JSON");
    command->add_option("--top", options->top, "Number of processes to list (default 15)");
    command->callback([options] {
        try {
            runSample(*options);
        } catch (const Error& error) {
            std::cerr << "joulix sample: " << error.what() << "\n";
            exitStatus() = 1;
        }
    });
});

}  // namespace
}  // namespace joulix::cli
