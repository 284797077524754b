// joulix sample [--json] [--top N] [--interval S]: one whole sampling pass on this machine
// (processes, powermetrics or the energy counters, battery, display and USB estimates), measured
// over the interval since a first observation S seconds earlier (default 1; 0 keeps the
// lifetime CPU figures of ps). Prints the total power and its source, the power source, the
// battery, the package power and where each came from, and the busiest processes with their
// CPU % and powermetrics watts; with --json, the pass's result as {"input", "metadata",
// "batteryStatus"} in the records' JSON form beside "totalPowerSource", "totalIsEstimate",
// "isOnBatteryPower", "packageW" (null when unmeasured, with "packagePowerReason"), "platformW"
// and the sources of package power, battery status and USB estimate. With
// DEBUG_BENCHMARK=1 the pass is timed into the profiler's trace (see joulix trace-summary).
#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "cli/Commands.h"
#include "cli/OptionChecks.h"
#include "cli/Table.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace joulix::cli {
namespace {

struct SampleOptions {
    bool json = false;
    int64_t top = 15;
    double intervalSeconds = 1;
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
    json["totalPowerSource"] = result.metadata.totalPowerSource;
    json["isOnBatteryPower"] = result.metadata.isOnBatteryPower;
    json["totalIsEstimate"] = result.metadata.totalIsEstimate;
    json["packageW"] = result.metadata.packageW ? nlohmann::ordered_json(*result.metadata.packageW)
                                                : nlohmann::ordered_json(nullptr);
    if (result.metadata.platformW) json["platformW"] = *result.metadata.platformW;
    json["packagePowerSource"] = result.metadata.packagePowerSource;
    if (!result.metadata.packageW) json["packagePowerReason"] = result.metadata.packagePowerReason;
    json["batteryStatusSource"] = result.metadata.batteryStatusSource;
    json["usbSource"] = result.metadata.usbSource;
    return json;
}

std::string batteryLine(const AttributionBuildResult& result) {
    const auto& battery = result.batteryStatus;
    if (!battery) return "no battery status";
    std::string line = battery->levelPercent ? text::formatted("%.1f %%", *battery->levelPercent)
                                             : std::string("level not reported");
    line += battery->isCharging               ? ", charging"
            : battery->externalPowerConnected ? ", on external power"
                                              : ", discharging";
    if (battery->dischargeWatts) line += text::formatted(" at %.2f W", *battery->dischargeWatts);
    if (battery->systemTimeRemainingMinutes) {
        line += ", " + std::to_string(*battery->systemTimeRemainingMinutes) + " min remaining";
    }
    if (battery->adapterName || battery->adapterWatts) {
        line += ", adapter " + battery->adapterName.value_or("unnamed");
        if (battery->adapterWatts) line += " " + std::to_string(*battery->adapterWatts) + " W";
    }
    return line + " (from " + result.metadata.batteryStatusSource + ")";
}

void printSummary(const AttributionBuildResult& result, int64_t top) {
    const auto& input = result.input;
    const auto& metadata = result.metadata;
    std::cout << "Total power   " << text::formatted("%.2f W", input.totalDischargeW)
              << (metadata.totalIsEstimate ? " (estimate: display and USB only; source "
                                           : " (source ")
              << metadata.totalPowerSource << ")\n";
    std::cout << "Power source  " << (metadata.isOnBatteryPower ? "battery" : "external power")
              << "\n";
    std::cout << "Battery       " << batteryLine(result) << "\n";
    if (metadata.packageW) {
        std::cout << "Package       " << text::formatted("%.2f W", *metadata.packageW) << " (from "
                  << metadata.packagePowerSource << ")\n";
    } else {
        std::cout << "package power: " << metadata.packagePowerReason << "\n";
    }
    if (metadata.platformW) {
        std::cout << "Platform      " << text::formatted("%.2f W", *metadata.platformW)
                  << " (from RAPL psys; stands for the package in the total)\n";
    }
    std::cout << "powermetrics  "
              << (metadata.powermetricsCommandOK
                      ? std::to_string(metadata.powermetricsParsedProcessCount) + " processes" +
                            (metadata.powermetricsHasPackagePower ? ", package power" : "")
                      : std::string("unavailable"))
              << "\n";
    std::cout << "Display, USB  " << text::formatted("%.2f W", input.screenModelW) << ", "
              << text::formatted("%.2f W", input.usbModelW) << " (USB from " << metadata.usbSource
              << ")\n";

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
        std::cout << row << printable(sample->name) << "\n";
    }
}

void runSample(const SampleOptions& options) {
    auto builder =
        LiveAttributionInputBuilder::withPlatformSources(std::make_shared<DefaultShellRunner>());
    if (options.intervalSeconds > 0) {
        builder.observeBaseline();
        std::this_thread::sleep_for(std::chrono::duration<double>(options.intervalSeconds));
    } else {
        builder.processSampler.recentCPU.reset();
    }
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
    command->add_option("--top", options->top, "Number of processes to list (default 15)")
        ->check(wholeNumberFrom(0, 1000000));
    command
        ->add_option("--interval", options->intervalSeconds,
                     "Seconds between the first observation and the pass (default 1; 0 keeps "
                     "the lifetime CPU figures)")
        ->check(secondsFrom(0, 3600));
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
