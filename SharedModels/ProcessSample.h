#pragma once
// What one sampling pass observed: per-process samples, the hidden workloads and their hosts,
// and the whole input of one attribution.
// Every member starts zero, empty or absent, so designated initializers name only what they set.
#include "SharedModels/Date.h"
#include "SharedModels/HiddenDrain.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace joulix {

// One process observed during one sampling pass.
struct ProcessSample {
    int64_t pid = 0;
    std::optional<int64_t> parentPID{};
    std::optional<int64_t> responsiblePID{};
    std::string name{};
    std::optional<std::string> bundleID{};
    std::optional<double> powermetricsPackageW{};
    std::optional<double> powermetricsCPUW{};
    std::optional<double> powermetricsGPUW{};
    // The GPU watts come from sharing package GPU power by CPU share, not a per-process reading.
    bool powermetricsGPUFallbackAllocated = false;
    uint64_t residentMemoryBytes = 0;
    double cpuPercent = 0;
    uint64_t cpuTimeDeltaNs = 0;
    double samplingIntervalMs = 0;
    double gpuTimeMs = 0;
    double diskReadBytes = 0;
    double diskWriteBytes = 0;
    double networkSentBytes = 0;
    double networkRecvBytes = 0;

    friend bool operator==(const ProcessSample&, const ProcessSample&) = default;
};

// A process hosting a hidden workload, and the fraction of the workload's power it carries.
struct HiddenWorkloadHostShare {
    int64_t pid = 0;
    double share = 0;

    friend bool operator==(const HiddenWorkloadHostShare&,
                           const HiddenWorkloadHostShare&) = default;
};

struct HiddenWorkloadMapping {
    HiddenDrainKind kind = HiddenDrainKind::dockerContainer;
    std::string identifier{};
    std::vector<HiddenWorkloadHostShare> hostShares{};

    friend bool operator==(const HiddenWorkloadMapping&, const HiddenWorkloadMapping&) = default;
};

// The whole input of one attribution.
struct AttributionInput {
    Date timestamp{};
    double totalDischargeW = 0;
    std::vector<ProcessSample> processes{};
    std::vector<HiddenWorkloadMapping> hiddenMappings{};
    double screenModelW = 0;
    double usbModelW = 0;
    bool developerMode = false;

    friend bool operator==(const AttributionInput&, const AttributionInput&) = default;
};

}  // namespace joulix
