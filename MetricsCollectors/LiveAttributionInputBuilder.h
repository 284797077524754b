#pragma once
// One sampling pass: the process list, one powermetrics sample, the battery status and the
// display and USB estimates, merged into an AttributionInput. Per-process powermetrics watts are
// merged into the sampled processes (by pid), processes only powermetrics saw are added, and the
// total power is chosen with its source: measured at the battery while on battery, assembled
// from package, display and USB power otherwise (an estimate, and labelled one, when no package
// power was measured). Every stage is timed by the component profiler
// under one correlation id and the pass logs under "InputBuilder". Never fails: a failing source
// degrades to absent or zero data. No lock of its own; one pass at a time.
//
// Where a tool of the original platform is missing, the pass uses the platform's own source of
// the same figure, when the builder has one: the direct battery reader for the battery status
// (and whether the machine runs on battery) when the `ioreg` collector fails, the energy
// counters for package power (CPU + GPU + DRAM over the interval since the reader's previous
// reading) when `powermetrics` fails, sysfs for the USB device count. The metadata names the
// source of each figure. The readers keep their previous observation, so a caller that runs
// passes in a loop keeps one builder; observeBaseline() takes a first observation for a pass
// that follows it.
#include "MetricsCollectors/AppleSiliconPowerReader.h"
#include "MetricsCollectors/BatteryStatusCollector.h"
#include "MetricsCollectors/DirectBatteryStatusReader.h"
#include "MetricsCollectors/DisplayPowerEstimator.h"
#include "MetricsCollectors/PowermetricsCollector.h"
#include "MetricsCollectors/ProcessSampler.h"
#include "MetricsCollectors/RunningProcessMetadataCache.h"
#include "MetricsCollectors/RunningProcessMetadataResolver.h"
#include "MetricsCollectors/USBPowerEstimator.h"
#include "SharedModels/BatteryStatusSample.h"
#include "SharedModels/ComponentProfiler.h"
#include "SharedModels/Date.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/ProcessSample.h"
#include "SharedModels/SamplingConfig.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace joulix {

// Which sources a pass could use.
struct AttributionBuildMetadata {
    bool powermetricsCommandOK = false;
    int64_t powermetricsParsedProcessCount = 0;
    bool powermetricsHasPackagePower = false;
    bool powermetricsHasSystemPower = false;
    bool usedEstimatedTotalPower = false;  // the machine was not on battery
    bool screenModelAvailable = false;
    bool usbModelAvailable = false;

    // Where the figures came from: "powermetrics", "RAPL" or "none" for the package power
    // (absent with the reason why, e.g. "RAPL counters are readable only by root on this
    // machine"); the platform counter (RAPL psys), which stands for the package in the total;
    // "ioreg", "power_supply" or "none" for the battery; the USB estimate's source; and the
    // total's source as the pass names it: "IOKit" or "power_supply" (battery discharge),
    // "PM-Package+Components" or "RAPL-Package+Components", "Estimate-Display+USB" (off battery
    // without package power: the display and USB estimates alone), "none".
    std::optional<double> packageW;
    std::optional<double> platformW;
    std::string packagePowerSource = "none";
    std::string packagePowerReason;
    std::string batteryStatusSource = "none";
    std::string usbSource;
    std::string totalPowerSource = "none";
    bool isOnBatteryPower = false;  // as the pass decided it
    bool totalIsEstimate = false;   // the total holds no measured figure
    // Set when the pass measured nothing (no battery discharge, no package power): why, as
    // "no battery discharging, no RAPL counters".
    std::string noMeasurementReason;

    // The same seven values as a snapshot's telemetry.
    SourceTelemetry sourceTelemetry() const;

    friend bool operator==(const AttributionBuildMetadata&,
                           const AttributionBuildMetadata&) = default;
};

struct AttributionBuildResult {
    AttributionInput input;
    AttributionBuildMetadata metadata;
    std::optional<BatteryStatusSample> batteryStatus;

    friend bool operator==(const AttributionBuildResult&, const AttributionBuildResult&) = default;
};

class LiveAttributionInputBuilder {
  public:
    LiveAttributionInputBuilder(ProcessSampler processSampler,
                                PowermetricsCollector powermetricsCollector,
                                DisplayPowerEstimator displayEstimator,
                                USBPowerEstimator usbEstimator,
                                BatteryStatusCollector batteryCollector);

    // One pass over the given process samples.
    AttributionBuildResult
    buildWithMetadata(const std::vector<ProcessSample>& processSamples,
                      const std::vector<HiddenWorkloadMapping>& hiddenMappings,
                      const SamplingConfig& config) const;
    // One pass that samples the processes itself (an error gives an empty list), with the
    // standard background configuration on battery power.
    AttributionBuildResult
    buildWithMetadata(const std::vector<HiddenWorkloadMapping>& hiddenMappings,
                      bool developerMode) const;
    AttributionInput build(const std::vector<HiddenWorkloadMapping>& hiddenMappings,
                           bool developerMode) const;

    // The process-name debug switch of the process sampler.
    static bool isProcessNameDebugEnabled();

    // A builder over the standard collaborators and this platform's own sources: the direct
    // battery reader, the energy counters and the recent-CPU tracker of the process sampler.
    static LiveAttributionInputBuilder
    withPlatformSources(const std::shared_ptr<const ShellRunning>& shell);
    // Takes the first observation of the readers that measure over an interval (recent CPU,
    // energy counters), so that the next pass measures since now.
    void observeBaseline() const;

    // What passes can measure on this machine, found without running one.
    struct MeasurementPlan {
        std::string batterySource;  // "ioreg" or "power_supply"; empty: no battery
        std::string packageSource;  // "powermetrics" or "RAPL"; empty: none, for packageReason
        std::string packageReason;
    };
    MeasurementPlan measurementPlan() const;

    int64_t processSampleLimit = 1000;
    ProcessSampler processSampler;
    PowermetricsCollector powermetricsCollector;
    DisplayPowerEstimator displayEstimator;
    USBPowerEstimator usbEstimator;
    BatteryStatusCollector batteryCollector;
    RunningProcessMetadataLookup processMetadataResolver =
        RunningProcessMetadataResolver::systemLookup();
    RunningProcessMetadataCache* metadataCache = &RunningProcessMetadataCache::shared();
    std::function<Date()> nowProvider = [] { return Date::now(); };
    ComponentProfiler* componentProfiler = &ComponentProfiler::current();
    // This platform's sources; null: none.
    std::shared_ptr<DirectBatteryStatusReader> batteryReader;
    std::shared_ptr<AppleSiliconPowerReader> energyReader;
};

}  // namespace joulix
