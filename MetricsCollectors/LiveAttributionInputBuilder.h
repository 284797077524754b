#pragma once
// One sampling pass: the process list, one powermetrics sample, the battery status and the
// display and USB estimates, merged into an AttributionInput. Per-process powermetrics watts are
// merged into the sampled processes (by pid), processes only powermetrics saw are added, and the
// total power is chosen with its source: measured at the battery while on battery, assembled
// from package, display and USB power otherwise. Every stage is timed by the component profiler
// under one correlation id and the pass logs under "InputBuilder". Never fails: a failing source
// degrades to absent or zero data. No lock of its own; one pass at a time.
#include "MetricsCollectors/BatteryStatusCollector.h"
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
};

}  // namespace joulix
