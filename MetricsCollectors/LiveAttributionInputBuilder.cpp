#include "MetricsCollectors/LiveAttributionInputBuilder.h"

#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace joulix {

namespace {

constexpr std::string_view logComponent = "InputBuilder";

struct PowermetricsLoadResult {
    std::optional<PowermetricsParseOutput> output;
    bool commandOK = false;
    int64_t commandCount = 1;
};

template <typename Value> struct CommandLoadResult {
    Value value;
    int64_t commandCount = 1;
};

// "pid=<pid> name=<name>" entries of the first `count` samples, joined with " | ".
template <typename Describe>
std::string preview(const std::vector<const ProcessSample*>& samples, size_t count,
                    Describe describe) {
    std::string joined;
    for (size_t i = 0; i < samples.size() && i < count; ++i) {
        if (!joined.empty()) joined += " | ";
        joined += "pid=" + std::to_string(samples[i]->pid) + " name=" + samples[i]->name +
                  describe(*samples[i]);
    }
    return joined;
}

void logNameDebug(const std::vector<ProcessSample>& merged, size_t givenCount,
                  size_t powermetricsOnlyCount) {
    const size_t mergedCount = merged.size() - powermetricsOnlyCount;
    std::vector<const ProcessSample*> pathless;
    for (size_t i = 0; i < mergedCount; ++i) {
        if (merged[i].name.empty() || merged[i].name.front() != '/') pathless.push_back(&merged[i]);
    }
    std::vector<const ProcessSample*> powermetricsOnly;
    for (size_t i = mergedCount; i < merged.size(); ++i)
        powermetricsOnly.push_back(&merged[i]);

    const std::string pathlessPreview =
        preview(pathless, 10, [](const ProcessSample&) { return std::string(); });
    const std::string powermetricsOnlyPreview =
        preview(powermetricsOnly, 8, [](const ProcessSample& sample) {
            return " pmPackageW=" +
                   text::formatted("%.2f", sample.powermetricsPackageW.value_or(0));
        });
    RuntimeLog::info(logComponent, "name-debug processSamples=" + std::to_string(givenCount) +
                                       ", merged=" + std::to_string(merged.size()) +
                                       ", mergedPathless=" + std::to_string(pathless.size()) +
                                       ", pmOnly=" + std::to_string(powermetricsOnlyCount));
    if (!powermetricsOnlyPreview.empty()) {
        RuntimeLog::info(logComponent, "name-debug pm-only preview: " + powermetricsOnlyPreview);
    }
    if (!pathlessPreview.empty()) {
        RuntimeLog::info(logComponent, "name-debug pathless merged preview: " + pathlessPreview);
    }
}

}  // namespace

SourceTelemetry AttributionBuildMetadata::sourceTelemetry() const {
    SourceTelemetry telemetry;
    telemetry.powermetricsCommandOK = powermetricsCommandOK;
    telemetry.powermetricsParsedProcessCount = powermetricsParsedProcessCount;
    telemetry.powermetricsHasPackagePower = powermetricsHasPackagePower;
    telemetry.powermetricsHasSystemPower = powermetricsHasSystemPower;
    telemetry.usedEstimatedTotalPower = usedEstimatedTotalPower;
    telemetry.screenModelAvailable = screenModelAvailable;
    telemetry.usbModelAvailable = usbModelAvailable;
    return telemetry;
}

LiveAttributionInputBuilder::LiveAttributionInputBuilder(
    ProcessSampler processSampler_, PowermetricsCollector powermetricsCollector_,
    DisplayPowerEstimator displayEstimator_, USBPowerEstimator usbEstimator_,
    BatteryStatusCollector batteryCollector_)
    : processSampler(std::move(processSampler_)),
      powermetricsCollector(std::move(powermetricsCollector_)),
      displayEstimator(std::move(displayEstimator_)), usbEstimator(std::move(usbEstimator_)),
      batteryCollector(std::move(batteryCollector_)) {}

bool LiveAttributionInputBuilder::isProcessNameDebugEnabled() {
    return ProcessSampler::isNameDebugEnabled();
}

LiveAttributionInputBuilder
LiveAttributionInputBuilder::withPlatformSources(const std::shared_ptr<const ShellRunning>& shell) {
    LiveAttributionInputBuilder builder{ProcessSampler(shell), PowermetricsCollector(shell),
                                        DisplayPowerEstimator(shell), USBPowerEstimator(shell),
                                        BatteryStatusCollector(shell)};
    builder.processSampler.recentCPU = std::make_shared<RecentProcessCPUTracker>();
    builder.batteryReader = std::make_shared<DirectBatteryStatusReader>();
    builder.energyReader = std::make_shared<AppleSiliconPowerReader>();
    return builder;
}

void LiveAttributionInputBuilder::observeBaseline() const {
    if (processSampler.recentCPU) processSampler.recentCPU->observe();
    if (energyReader) energyReader->sample(nowProvider());
}

LiveAttributionInputBuilder::MeasurementPlan LiveAttributionInputBuilder::measurementPlan() const {
    MeasurementPlan plan;
    try {
        batteryCollector.collectStatus();
        plan.batterySource = "ioreg";
    } catch (const std::exception&) {
        if (batteryReader && batteryReader->sample()) plan.batterySource = "power_supply";
    }
    if (powermetricsCollector.isToolInstalled()) {
        plan.packageSource = "powermetrics";
    } else if (energyReader) {
        plan.packageReason = energyReader->unsupportedReason();
        if (plan.packageReason.empty()) plan.packageSource = "RAPL";
    } else {
        plan.packageReason = "powermetrics is unavailable";
    }
    return plan;
}

AttributionBuildResult LiveAttributionInputBuilder::buildWithMetadata(
    const std::vector<HiddenWorkloadMapping>& hiddenMappings, bool developerMode) const {
    std::vector<ProcessSample> samples;
    try {
        samples = processSampler.sampleProcesses(processSampleLimit, false).sampledProcesses;
    } catch (const std::exception&) {
    }
    const SamplingConfig config(5, 30, developerMode, SamplingMode::background, 20, 8, 8, 30, 300,
                                300, true);
    return buildWithMetadata(samples, hiddenMappings, config);
}

AttributionInput
LiveAttributionInputBuilder::build(const std::vector<HiddenWorkloadMapping>& hiddenMappings,
                                   bool developerMode) const {
    return buildWithMetadata(hiddenMappings, developerMode).input;
}

AttributionBuildResult LiveAttributionInputBuilder::buildWithMetadata(
    const std::vector<ProcessSample>& processSamples,
    const std::vector<HiddenWorkloadMapping>& hiddenMappings, const SamplingConfig& config) const {
    ComponentProfiler& profiler = *componentProfiler;
    const std::string correlationID = profiler.makeCorrelationID("input-builder");
    const auto passSpan =
        profiler.beginSpan(BenchmarkComponent::daemonInputBuild, std::nullopt, correlationID,
                           {{"processSamples", std::to_string(processSamples.size())},
                            {"samplingMode", std::string(rawValue(config.samplingMode))}});
    const std::optional<std::string_view> parent =
        profiler.isEnabled() ? std::optional(BenchmarkComponent::daemonInputBuild) : std::nullopt;

    const Date now = nowProvider();

    PowermetricsLoadResult powermetrics;
    try {
        powermetrics.output = profiler.measure(
            BenchmarkComponent::daemonInputPowermetrics, parent, correlationID,
            {{"mode", "direct"}}, [&] { return powermetricsCollector.collectNormalizedSample(); });
        powermetrics.commandOK = true;
    } catch (const PowermetricsCollectorError& error) {
        // A tool the platform does not have was said once by the collector.
        if (!error.isNotInstalled()) {
            RuntimeLog::error(logComponent,
                              "powermetrics collection failed: " + std::string(error.what()));
        }
    } catch (const std::exception& error) {
        RuntimeLog::error(logComponent,
                          "powermetrics collection failed: " + std::string(error.what()));
    }
    const std::optional<PowermetricsParseOutput>& output = powermetrics.output;

    // The first record of each pid.
    std::unordered_map<int64_t, const PowermetricsProcessRecord*> recordsByPID;
    if (output) {
        recordsByPID.reserve(output->processes.size());
        for (const auto& record : output->processes)
            recordsByPID.try_emplace(record.pid, &record);
    }
    const bool gpuFallback = output && output->gpuPackageAllocatedByCPUShare();
    const auto attachPowermetrics = [gpuFallback](ProcessSample& sample,
                                                  const PowermetricsProcessRecord& record) {
        sample.powermetricsPackageW = record.packageW;
        sample.powermetricsCPUW = record.cpuPackageW;
        sample.powermetricsGPUW = record.gpuPackageW;
        sample.powermetricsGPUFallbackAllocated = gpuFallback && record.gpuPackageW > 0;
    };

    const auto mergeSpan =
        profiler.beginSpan(BenchmarkComponent::daemonInputProcessMerge, parent, correlationID, {});
    std::vector<ProcessSample> merged;
    merged.reserve(processSamples.size() + (output ? output->processes.size() : 0));
    std::unordered_set<int64_t> seen;
    seen.reserve(merged.capacity());
    for (const auto& given : processSamples) {
        ProcessSample sample = given;
        const auto found = recordsByPID.find(sample.pid);
        if (found != recordsByPID.end() && found->second->packageW > 0) {
            attachPowermetrics(sample, *found->second);
        }
        seen.insert(sample.pid);
        merged.push_back(std::move(sample));
    }
    size_t powermetricsOnlyCount = 0;
    if (output) {
        for (const auto& record : output->processes) {
            if (!(record.packageW > 0.01) || !seen.insert(record.pid).second) continue;
            const auto metadata = metadataCache->resolve(static_cast<int32_t>(record.pid), now,
                                                         processMetadataResolver);
            ProcessSample sample;
            sample.pid = record.pid;
            sample.name = metadata && metadata->executablePath ? *metadata->executablePath
                          : metadata && metadata->bundlePath   ? *metadata->bundlePath
                                                               : record.name;
            sample.bundleID = metadata ? metadata->bundleID : std::nullopt;
            attachPowermetrics(sample, record);
            merged.push_back(std::move(sample));
            ++powermetricsOnlyCount;
        }
    }
    profiler.endSpan(mergeSpan, {{"mergedProcesses", std::to_string(merged.size())},
                                 {"powermetricsOnly", std::to_string(powermetricsOnlyCount)}});

    if (isProcessNameDebugEnabled()) {
        logNameDebug(merged, processSamples.size(), powermetricsOnlyCount);
    }

    AttributionBuildMetadata metadata;
    metadata.powermetricsCommandOK = powermetrics.commandOK;
    if (output) {
        metadata.powermetricsHasPackagePower = output->hasPackagePower();
        metadata.powermetricsHasSystemPower =
            output->totalSystemWatts && *output->totalSystemWatts > 0;
        metadata.powermetricsParsedProcessCount = static_cast<int64_t>(output->processes.size());
        metadata.packageW = output->combinedPackageW;
        metadata.packagePowerSource = "powermetrics";
    } else if (energyReader) {
        // Stamped when read: the pass's own time lies before the tools it ran.
        const SystemPowerSnapshot counters = energyReader->sample(nowProvider());
        if (counters.supported && counters.intervalSeconds > 0) {
            metadata.packageW =
                counters.packageW.value_or(counters.cpuW + counters.gpuW + counters.ramW);
            metadata.platformW = counters.platformW;
            metadata.packagePowerSource = "RAPL";
        } else if (counters.supported) {
            metadata.packagePowerReason = "no interval measured yet";
        } else {
            metadata.packagePowerReason = energyReader->unsupportedReason();
            static std::once_flag said;
            std::call_once(said, [&] {
                RuntimeLog::info(logComponent, "package power: " + metadata.packagePowerReason);
            });
        }
    } else {
        metadata.packagePowerReason = "powermetrics is unavailable";
    }

    std::optional<BatteryStatusSample> batteryStatus;
    try {
        batteryStatus =
            profiler.measure(BenchmarkComponent::daemonInputBatteryStatus, parent, correlationID,
                             {}, [&] { return batteryCollector.collectStatus(); });
        metadata.batteryStatusSource = "ioreg";
    } catch (const std::exception&) {
    }
    std::optional<bool> machineOnBattery;
    if (!batteryStatus && batteryReader) {
        auto [sample, isOnBatteryPower] = batteryReader->sampleWithPowerSource();
        batteryStatus = std::move(sample);
        if (batteryStatus) metadata.batteryStatusSource = "power_supply";
        machineOnBattery = isOnBatteryPower;
    }
    const bool onBattery =
        machineOnBattery ? *machineOnBattery
        : batteryStatus  ? !batteryStatus->isCharging && !batteryStatus->externalPowerConnected
                         : config.isOnBatteryPower;

    const auto display = profiler.measure(
        BenchmarkComponent::daemonInputDisplayEstimate, parent, correlationID, {},
        [&] { return CommandLoadResult<double>{displayEstimator.estimateWatts()}; });
    const auto usb = profiler.measure(
        BenchmarkComponent::daemonInputUSBEstimate, parent, correlationID, {},
        [&] { return CommandLoadResult<USBPowerEstimate>{usbEstimator.estimate()}; });
    const double displayW = display.value;
    const double usbW = usb.value.watts;
    metadata.usbSource = usb.value.source;

    // The whole platform's counter, where there is one, stands for the package in the total.
    const double packageW = metadata.platformW.value_or(metadata.packageW.value_or(0));
    double totalW = 0;
    std::string source = "none";
    if (!onBattery) {
        totalW = usbW + displayW + packageW;
        if (totalW < 0) totalW = 0;
        source = !metadata.packageW                      ? "Estimate-Display+USB"
                 : metadata.packagePowerSource == "RAPL" ? "RAPL-Package+Components"
                                                         : "PM-Package+Components";
        metadata.totalIsEstimate = !metadata.packageW;
    } else if (batteryStatus && batteryStatus->dischargeWatts &&
               *batteryStatus->dischargeWatts > 0) {
        totalW = *batteryStatus->dischargeWatts;
        source = metadata.batteryStatusSource == "power_supply" ? "power_supply" : "IOKit";
    }
    metadata.totalPowerSource = source;
    if (!metadata.packageW && (source == "none" || metadata.totalIsEstimate)) {
        std::string reason = metadata.packagePowerReason;
        if (reason.ends_with(" on this machine")) {
            reason.resize(reason.size() - std::string_view(" on this machine").size());
        }
        metadata.noMeasurementReason = "no battery discharging, " + reason;
    }
    metadata.isOnBatteryPower = onBattery;

    const std::string iokitW = batteryStatus && batteryStatus->dischargeWatts
                                   ? text::formatted("%.2f", *batteryStatus->dischargeWatts)
                                   : "nil";
    RuntimeLog::info(
        logComponent,
        "sources isOnBattery=" + std::string(config.isOnBatteryPower ? "true" : "false") +
            ", powerSource=" + source + ", iokitW=" + iokitW +
            ", pmCommandOK=" + (powermetrics.commandOK ? "true" : "false") +
            ", pmParsed=" + std::to_string(metadata.powermetricsParsedProcessCount) +
            ", pmPackage=" + text::formatted("%.2f", packageW) +
            ", totalW=" + text::formatted("%.2f", totalW));

    AttributionInput input;
    input.timestamp = now;
    input.totalDischargeW = totalW;
    input.processes = std::move(merged);
    input.hiddenMappings = hiddenMappings;
    input.screenModelW = displayW;
    input.usbModelW = usbW;
    input.developerMode = config.developerMode;

    profiler.endSpan(passSpan, {{"powermetricsParsed",
                                 std::to_string(metadata.powermetricsParsedProcessCount)}});

    metadata.usedEstimatedTotalPower = !onBattery;
    metadata.screenModelAvailable = displayW > 0;
    metadata.usbModelAvailable = usbW > 0;
    return {std::move(input), metadata, std::move(batteryStatus)};
}

}  // namespace joulix
